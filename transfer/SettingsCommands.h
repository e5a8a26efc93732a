#pragma once

#include <QStringList>

namespace vx {

// "send-settings FILE.VDX --port ComN --speed S [--ir]" and
// "receive-settings ..." (arguments after the command word).
int RunSendSettings(const QStringList &args);
int RunReceiveSettings(const QStringList &args);

} // namespace vx

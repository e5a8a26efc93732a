#pragma once

#include <QStringList>

namespace vx {

// "profile new|check|export-c ..." (arguments after "profile").
int RunProfileCommand(const QStringList &args);

} // namespace vx

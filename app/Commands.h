#pragma once

#include <QStringList>

// The program's entry points. main() picks one by the command line; each
// lives with the part of the program it belongs to.
namespace vx {

// The collector: windows where a display exists, or headless.
int RunCollector(int &argc, char **argv, bool headless);

// "profile new|check|export-c ..." (arguments after "profile").
int RunProfileCommand(const QStringList &args);

// "send-settings FILE.VDX --port ComN --speed S [--ir]" and
// "receive-settings ..." (arguments after the command word).
int RunSendSettings(const QStringList &args);
int RunReceiveSettings(const QStringList &args);

} // namespace vx

#pragma once

#include "platform/CommandLine.h"

namespace vx {

// "send-settings FILE.VDX --port ComN --speed S [--ir]" and
// "receive-settings ...": a profile to a terminal and back, without a display.
QList<Command> SettingsTransferCommands();

} // namespace vx

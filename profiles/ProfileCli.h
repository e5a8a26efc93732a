#pragma once

#include "platform/CommandLine.h"

namespace vx {

// "profile new", "profile check", "profile export-c": profile files for
// installers, without a display.
QList<Command> ProfileCommands();

} // namespace vx

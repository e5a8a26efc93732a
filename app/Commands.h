#pragma once

#include "platform/CommandLine.h"

// The program's entry points. main() hands the command line to
// RunCommandLine(), which finds the command in the table of app/Commands.cpp;
// the profile and settings-transfer commands live with their engines.
namespace vx {

// The collector: windows where a display exists, or headless.
int RunCollector(int &argc, char **argv, bool headless);

// The whole command line: the collector and every sub-command, under the
// name the usage shows.
CommandLine ProgramCommandLine(const QString &program);

// Parses argv and runs what it names; the exit code.
int RunCommandLine(int &argc, char **argv);

} // namespace vx

#pragma once

// The program's entry points. main() picks one by the command line; the
// profile and settings-transfer commands live with their engines.
namespace vx {

// The collector: windows where a display exists, or headless.
int RunCollector(int &argc, char **argv, bool headless);

} // namespace vx

#pragma once

#include "collector/Collector.h"
#include "platform/Messenger.h"
#include "settings/IniStore.h"
#include "settings/Settings.h"

#include <memory>

namespace vx {

// Everything a running collector owns, windowed or headless.
struct CollectorApp {
    CollectorApp();
    ~CollectorApp();

    CurrentMessenger messenger;
    IniStore store;
    Settings settings;
    std::unique_ptr<TransportFactory> transports;
    std::unique_ptr<Collector> collector;
    int exitCode = 0;
};

// Runs the collector window on app; returns the exit code, or -1 when this
// build has no window (the caller then runs headless).
int RunCollectorWindow(CollectorApp &app);

// The runner calls this once the start-up is over: a SIGHUP that came
// during the start-up is handled now, later ones at once.
void CollectorRunning();

// The message for a settings file that is not used (it cannot be read or
// does not parse), saying what the program does; empty when it is used.
QString SettingsFileProblem(const IniStore &store);

} // namespace vx

#pragma once

#include "Collector.h"
#include "IniStore.h"
#include "Messenger.h"
#include "Settings.h"

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

} // namespace vx

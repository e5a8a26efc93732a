#pragma once

#include "VendrixProcess.h"
#include "tools/simterm/SimTerminal.h"

namespace vx::test {

// The headless collector with channel 1 on a simulated TCP terminal: start()
// writes the settings, starts the program and waits until the terminal is
// connected and the collector is ready.
struct RunningCollector {
    sim::SimTerminal terminal;
    VendrixProcess vendrix;
    bool ready = false;

    explicit RunningCollector(const QString &home) : vendrix(home) {}
    RunningCollector(const QString &home, const QString &target, const VendrixProcess::Ini &more = {}) : vendrix(home)
    {
        start(target, more);
    }
    bool start(const QString &target, const VendrixProcess::Ini &more = {})
    {
        ready =
            terminal.listenTcp()
            && vendrix.writeIni(VendrixProcess::Merged(VendrixProcess::TcpChannel(1, terminal.tcpPort(), target), more))
            && vendrix.start() && terminal.waitForConnected(15000)
            && vendrix.waitForOutput(QStringLiteral("Collector ready"), 15000);
        return ready;
    }
    std::string output() const { return vendrix.outputText().toStdString(); }
};

} // namespace vx::test

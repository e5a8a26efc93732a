#pragma once

#include "TestSupport.h"
#include "VendrixProcess.h"
#include "tools/simterm/SimTerminal.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <memory>

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

// A terminal of the test's own on plain sockets, for what the simulated
// terminal does not do: bytes as fast as the collector takes them, lines
// without waiting for their answers.
struct RawTerminal {
    QTcpServer server;
    std::unique_ptr<QTcpSocket> socket;
    QByteArray answers;
    qint64 lastMs = 0;

    bool listen() { return server.listen(QHostAddress::LocalHost); }
    bool accept()
    {
        if (!waitUntil([&] { return server.hasPendingConnections(); }, 15000))
            return false;
        socket.reset(server.nextPendingConnection());
        QObject::connect(socket.get(), &QTcpSocket::readyRead, socket.get(), [this] { answers += socket->readAll(); });
        return true;
    }
    // Sends a line and waits for its answer (empty when none came).
    QByteArray exchange(const QByteArray &line)
    {
        const qsizetype before = answers.size();
        QElapsedTimer t;
        t.start();
        socket->write(line);
        waitUntil([&] { return answers.size() > before; }, 15000);
        lastMs = t.elapsed();
        return answers.mid(before);
    }
    QByteArray record(const QByteArray &text) { return exchange(sim::FramedRecord(text)); }
};

// Sends bytes and returns what the collector answered: what arrives until
// a first answer and a short while after it (a second one may follow).
inline QByteArray answerOf(sim::SimTerminal &terminal, const QByteArray &bytes)
{
    const qsizetype before = terminal.received().size();
    terminal.sendRaw(bytes);
    terminal.waitFor([&] { return terminal.received().size() > before; }, 3000);
    terminal.waitFor([] { return false; }, 30);
    return terminal.received().mid(before);
}

} // namespace vx::test

#pragma once

#include "FakeTransportFactory.h"
#include "TestSupport.h"
#include "collector/Collector.h"
#include "collector/RegistryExchange.h"
#include "platform/CheckCharacters.h"
#include "platform/Clock.h"
#include "platform/Messenger.h"
#include "platform/Paths.h"
#include "settings/IniStore.h"
#include "settings/Settings.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace vx::test {

inline const QByteArray kAckLine(1, '\x06');
inline const QByteArray kNakLine(1, '\x15');

// A collector over fake transports, in a fresh home, on a manual clock.
class CollectorTest : public ::testing::Test {
protected:
    CollectorTest() : store(Paths::settingsFile()), settings(Settings::defaults())
    {
        Clock::setCurrent(&clock);
        clock.setTimeOfDay(QTime(14, 5, 9));
        for (int n = 1; n <= 4; ++n)
            settings.Com[n].Port = QStringLiteral("None");
    }
    ~CollectorTest() override { Clock::setCurrent(nullptr); }

    void make()
    {
        SaveSettings(store, settings);
        collector = std::make_unique<Collector>(settings, store, messenger, clock, factory);
        collector->setProgramDir(programDir());
    }
    // make(), then the channels opened as the program opens them.
    void openChannels(std::initializer_list<int> channels)
    {
        make();
        for (int n : channels)
            collector->SetComm(n);
    }
    FakeSerialPort &serial(int n) { return *factory.serials.at(n - 1); }
    FakeSocket &socket(int n) { return *factory.sockets.at(n - 1); }

    // Channel n as an open serial channel with a text target.
    void serialChannel(int n, const QString &protocol = QStringLiteral("ACK/NAK"))
    {
        settings.Com[n].ConnType = QStringLiteral("Serial");
        settings.Com[n].Port = QStringLiteral("Com%1").arg(n);
        settings.Com[n].ConnProtocol = protocol;
        settings.DBMS[n].Name = home.file(QStringLiteral("ch%1.txt").arg(n));
    }
    void tcpChannel(int n)
    {
        settings.Com[n].ConnType = QStringLiteral("TCP");
        settings.Com[n].IP1 = QStringLiteral("127");
        settings.Com[n].IP2 = QStringLiteral("0");
        settings.Com[n].IP3 = QStringLiteral("0");
        settings.Com[n].IP4 = QStringLiteral("1");
        settings.Com[n].IP5 = QStringLiteral("3000");
        settings.DBMS[n].Name = home.file(QStringLiteral("ch%1.txt").arg(n));
    }
    void settle()
    {
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }

    QString exchange(const QString &name)
    {
        return RegistryExchange::ReadRegistryValue(QStringLiteral("HKEY_CURRENT_USER"), QStringLiteral("DataExchange"),
                                                   name, QStringLiteral("<none>"));
    }
    void setExchange(const QString &name, const QString &value)
    {
        RegistryExchange::WriteRegistryValue(QStringLiteral("HKEY_CURRENT_USER"), QStringLiteral("DataExchange"), name,
                                             value, messenger);
    }
    QByteArray record(const QByteArray &text) { return text + XorChecksum(text) + "\r"; }

    TempHome home;
    ManualClock clock;
    ScriptedMessenger messenger;
    FakeFactory factory;
    IniStore store;
    Settings settings;
    std::unique_ptr<Collector> collector;
};

} // namespace vx::test

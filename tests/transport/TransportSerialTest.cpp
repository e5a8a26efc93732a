// The serial port over Qt SerialPort, on real pseudo-terminal pairs.
#include "PtyPair.h"
#include "TestSupport.h"
#include "TransportTestSupport.h"
#include "transport/QtSerialPort.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

using namespace vx;
using namespace vx::test;

namespace {

// A pty pair with ComN mapped to its program end, and the port configured
// the way channel opening does it.
struct SerialFixture : ::testing::Test {
    static constexpr int comNumber = 3;
    PtyPair pty;
    ScopedEnv com{"VENDRIX_COM3", pty.pcEnd().toLocal8Bit()};
    QtSerialPort port;

    void SetUp() override
    {
        ASSERT_TRUE(pty.isReady()) << qPrintable(pty.errorText());
        port.setCommPort(comNumber);
        port.setSettings(QStringLiteral("9600,N,8,1"));
        port.setHandshaking(0);
        port.setRThreshold(1);
        port.setSThreshold(1);
        port.setRTSEnable(true);
    }
};

} // namespace

TEST(SerialSettingsText, ReadsSpeedParityDataAndStopBits)
{
    struct Case {
        const char *text;
        qint32 speed;
        QSerialPort::Parity parity;
        QSerialPort::DataBits data;
        QSerialPort::StopBits stop;
    };
    const Case good[] = {
        {"9600,N,8,1", 9600, QSerialPort::NoParity, QSerialPort::Data8, QSerialPort::OneStop},
        {"19200,e,7,2", 19200, QSerialPort::EvenParity, QSerialPort::Data7, QSerialPort::TwoStop},
        {" 115200 , O , 8 , 1 ", 115200, QSerialPort::OddParity, QSerialPort::Data8, QSerialPort::OneStop},
        {"38400,m,6,1", 38400, QSerialPort::MarkParity, QSerialPort::Data6, QSerialPort::OneStop},
        {"1200,s,5,1,5", 1200, QSerialPort::SpaceParity, QSerialPort::Data5, QSerialPort::TwoStop},
        {"1200,N,5,1.5", 1200, QSerialPort::NoParity, QSerialPort::Data5, QSerialPort::TwoStop},
    };
    for (const Case &c : good) {
        SerialLineSettings line;
        QString why;
        ASSERT_TRUE(parseSerialSettings(QString::fromLatin1(c.text), &line, &why)) << c.text << ": " << qPrintable(why);
        EXPECT_EQ(line.speed, c.speed) << c.text;
        EXPECT_EQ(line.parity, c.parity) << c.text;
        EXPECT_EQ(line.dataBits, c.data) << c.text;
        EXPECT_EQ(line.stopBits, c.stop) << c.text;
    }

    const char *bad[] = {"9600,N,4,1",  "9600,N,9,1", "9600,X,8,1",   "9600,,8,1", "fast,N,8,1",   "0,N,8,1",
                         "-9600,N,8,1", "9600,N,8,3", "9600,N,8,1,5", "9600,N,8",  "9600,N,8,1,1", ""};
    for (const char *text : bad) {
        SerialLineSettings line;
        QString why;
        EXPECT_FALSE(parseSerialSettings(QString::fromLatin1(text), &line, &why)) << text;
        EXPECT_FALSE(why.isEmpty()) << text;
    }
}

TEST_F(SerialFixture, EveryByteValueCrossesBothWaysOneCharacterPerInput)
{
    ASSERT_TRUE(port.setPortOpen(true)) << qPrintable(port.errorString());
    EXPECT_TRUE(port.PortOpen());
    EXPECT_EQ(port.deviceName(), pty.pcEnd());
    PeerEnd terminal(pty.terminalEnd());
    ASSERT_TRUE(terminal.isOpen());

    // Terminal to program, read the way the reception does: one character
    // per Input() with InputLen 1, inside OnComm.
    QByteArray received;
    int events = 0;
    bool wrongSize = false;
    QObject::connect(&port, &SerialPort::OnComm, [&] {
        ++events;
        EXPECT_EQ(port.CommEvent(), SerialPort::comEvReceive);
        while (port.InBufferCount() >= 1) {
            port.setInputLen(1);
            const QByteArray c = port.Input();
            wrongSize |= c.size() != 1;
            received += c;
        }
    });
    const QByteArray all = allByteValues();
    ASSERT_TRUE(terminal.write(all));
    ASSERT_TRUE(waitUntil([&] { return received.size() >= all.size(); }));
    EXPECT_EQ(received, all);
    EXPECT_FALSE(wrongSize);
    EXPECT_GE(events, 1);
    EXPECT_EQ(port.InBufferCount(), 0);
    EXPECT_TRUE(port.Input().isEmpty());

    // Program to terminal, written as given.
    port.Output(all);
    port.Output(QByteArray("ACK\r"));
    EXPECT_EQ(terminal.read(all.size() + 4), all + QByteArray("ACK\r"));
    EXPECT_TRUE(waitUntil([&] { return port.OutBufferCount() == 0; }));

    EXPECT_TRUE(port.setPortOpen(false));
    EXPECT_FALSE(port.PortOpen());
    EXPECT_EQ(port.InBufferCount(), 0);
    EXPECT_TRUE(port.Input().isEmpty());
}

TEST_F(SerialFixture, BufferCountsAndInputLengthsWithoutEvents)
{
    port.setRThreshold(0); // polled, as the settings transfer may do
    int events = 0;
    QObject::connect(&port, &SerialPort::OnComm, [&] { ++events; });
    ASSERT_TRUE(port.setPortOpen(true)) << qPrintable(port.errorString());
    PeerEnd terminal(pty.terminalEnd());
    ASSERT_TRUE(terminal.write("hello world"));
    ASSERT_TRUE(waitUntil([&] { return port.InBufferCount() == 11; }));

    port.setInputLen(1);
    EXPECT_EQ(port.Input(), QByteArray("h"));
    port.setInputLen(4);
    EXPECT_EQ(port.Input(), QByteArray("ello"));
    EXPECT_EQ(port.InBufferCount(), 6);
    port.setInBufferCount(0);
    EXPECT_EQ(port.InBufferCount(), 0);
    port.setInputLen(0);
    EXPECT_TRUE(port.Input().isEmpty());

    ASSERT_TRUE(terminal.write("BOF\r"));
    ASSERT_TRUE(waitUntil([&] { return port.InBufferCount() == 4; }));
    EXPECT_EQ(port.Input(), QByteArray("BOF\r"));
    EXPECT_EQ(events, 0);
}

TEST_F(SerialFixture, OnCommIsRaisedForEachArrivalAndForWhatCameDuringAHandler)
{
    ASSERT_TRUE(port.setPortOpen(true)) << qPrintable(port.errorString());
    PeerEnd terminal(pty.terminalEnd());

    // Separate arrivals, separate events; the handler takes everything.
    QByteArray received;
    int events = 0;
    bool lateSent = false;
    auto connection = QObject::connect(&port, &SerialPort::OnComm, [&] {
        ++events;
        if (!lateSent && received.isEmpty()) {
            // More characters arrive while this handler runs (it lets the
            // event loop turn, as the reception does); they must get an
            // event of their own once it returns.
            lateSent = true;
            const int before = port.InBufferCount();
            terminal.write("late");
            waitUntil([&] { return port.InBufferCount() > before; }, 2000);
            port.setInputLen(1);
            received += port.Input(); // take one character only
            return;
        }
        port.setInputLen(0);
        received += port.Input();
    });
    ASSERT_TRUE(terminal.write("a"));
    ASSERT_TRUE(waitUntil([&] { return received.size() == 5; }));
    EXPECT_EQ(received, QByteArray("alate"));
    EXPECT_GE(events, 2);

    const int eventsBefore = events;
    for (const char *piece : {"b", "c", "d"}) {
        ASSERT_TRUE(terminal.write(piece));
        ASSERT_TRUE(waitUntil([&] { return received.endsWith(piece); }));
    }
    EXPECT_EQ(events, eventsBefore + 3);
    QObject::disconnect(connection);

    // One character per event (as a modem channel takes them): every
    // waiting character still gets its turn without new arrivals.
    QByteArray oneByOne;
    connection = QObject::connect(&port, &SerialPort::OnComm, [&] {
        port.setInputLen(1);
        oneByOne += port.Input();
    });
    ASSERT_TRUE(terminal.write("OK\r\n"));
    ASSERT_TRUE(waitUntil([&] { return oneByOne.size() == 4; }));
    EXPECT_EQ(oneByOne, QByteArray("OK\r\n"));
    QObject::disconnect(connection);

    // A handler that takes nothing is not called again and again for the
    // same characters: the next event comes with the next arrival.
    int idleEvents = 0;
    connection = QObject::connect(&port, &SerialPort::OnComm, [&] { ++idleEvents; });
    ASSERT_TRUE(terminal.write("x"));
    ASSERT_TRUE(waitUntil([&] { return idleEvents == 1; }));
    waitUntil([] { return false; }, 150);
    EXPECT_EQ(idleEvents, 1);
    EXPECT_EQ(port.InBufferCount(), 1);
    ASSERT_TRUE(terminal.write("y"));
    ASSERT_TRUE(waitUntil([&] { return idleEvents == 2; }));
    EXPECT_EQ(port.InBufferCount(), 2);
}

TEST_F(SerialFixture, SettingsThePortRefusesFailTheOpening)
{
    for (const char *text : {"9600,N,4,1", "9600,Q,8,1", "fast,N,8,1", "9600,N,8,1,5", "9600;N;8;1"}) {
        port.setSettings(QString::fromLatin1(text));
        EXPECT_FALSE(port.setPortOpen(true)) << text;
        EXPECT_FALSE(port.PortOpen()) << text;
        EXPECT_TRUE(port.errorString().contains(QString::fromLatin1(text))) << qPrintable(port.errorString());
        EXPECT_TRUE(port.errorString().startsWith(QStringLiteral("Com3"))) << qPrintable(port.errorString());
    }
    // Mark and space parity, 5 data bits and 1,5 stop bits are real settings.
    for (const char *text : {"19200,E,7,2", "9600,m,8,1", "1200,S,5,1,5", "57600,o,6,1"}) {
        port.setSettings(QString::fromLatin1(text));
        EXPECT_TRUE(port.setPortOpen(true)) << text << ": " << qPrintable(port.errorString());
        port.setPortOpen(false);
    }
}

TEST_F(SerialFixture, ChangesWhileOpenTakeEffectAndTheLineKeepsWorking)
{
    ASSERT_TRUE(port.setPortOpen(true)) << qPrintable(port.errorString());
    PeerEnd terminal(pty.terminalEnd());
    port.setSettings(QStringLiteral("38400,E,7,1"));
    port.setHandshaking(2);
    port.setRTSEnable(false);
    port.setDTREnable(false);
    port.setHandshaking(0);
    port.setRTSEnable(true);
    EXPECT_TRUE(port.PortOpen());
    EXPECT_EQ(port.Settings(), QStringLiteral("38400,E,7,1"));
    EXPECT_EQ(port.Handshaking(), 0);

    // A refused text while open leaves the port as it was and says why.
    port.setSettings(QStringLiteral("38400,E,4,1"));
    EXPECT_TRUE(port.PortOpen());
    EXPECT_TRUE(port.errorString().contains(QStringLiteral("38400,E,4,1")));

    port.Output("GETDATA1\r");
    EXPECT_EQ(terminal.read(9), QByteArray("GETDATA1\r"));
}

TEST_F(SerialFixture, MissingBusyAndUnmappedPortsFailTheOpening)
{
    {
        ScopedEnv missing("VENDRIX_COM4", "/nonexistent/vendrix-tty");
        port.setCommPort(4);
        EXPECT_FALSE(port.setPortOpen(true));
        EXPECT_FALSE(port.PortOpen());
        EXPECT_TRUE(port.errorString().contains(QStringLiteral("/nonexistent/vendrix-tty")))
            << qPrintable(port.errorString());
    }
    for (int number : {0, 10}) {
        port.setCommPort(number);
        EXPECT_FALSE(port.setPortOpen(true)) << number;
        EXPECT_FALSE(port.errorString().isEmpty());
    }

    // A port another object holds is busy.
    port.setCommPort(comNumber);
    ASSERT_TRUE(port.setPortOpen(true)) << qPrintable(port.errorString());
    QtSerialPort second;
    second.setCommPort(comNumber);
    EXPECT_FALSE(second.setPortOpen(true));
    EXPECT_FALSE(second.errorString().isEmpty());
    port.setPortOpen(false);
    EXPECT_TRUE(second.setPortOpen(true)) << qPrintable(second.errorString());

    // A device that goes away (an adapter unplugged) leaves the port closed
    // with the reason.
    pty.stop();
    EXPECT_TRUE(waitUntil([&] { return !second.PortOpen(); }));
    EXPECT_TRUE(second.errorString().contains(pty.pcEnd())) << qPrintable(second.errorString());
}

TEST(SerialClosed, AClosedPortIsQuiet)
{
    QtSerialPort port;
    EXPECT_FALSE(port.PortOpen());
    EXPECT_EQ(port.InBufferCount(), 0);
    EXPECT_EQ(port.OutBufferCount(), 0);
    EXPECT_TRUE(port.Input().isEmpty());
    port.Output("lost"); // logged, not sent
    port.setInBufferCount(0);
    EXPECT_TRUE(port.setPortOpen(false));
}

#include "CollectorFixture.h"

#include <QTimer>

using namespace vx;
using namespace vx::test;

TEST_F(CollectorTest, SerialLineSettingsAndAutomaticCollection)
{
    serialChannel(1);
    settings.Com[1].Parity = "Pari";
    settings.Com[1].Speed = "19200";
    settings.Com[1].DataBits = "7";
    settings.Com[1].StopBits = "2";
    settings.Com[1].FlowControl = "RTS/CTS";
    settings.Com[1].Auto = "1";
    settings.Com[1].AutoSec = "30";
    serialChannel(2);
    settings.Com[2].Parity = "Dispari";
    settings.Com[2].Auto = "1";
    settings.Com[2].AutoSec = "00";
    settings.Com[3].Port = "None";
    make();
    for (int n = 1; n <= 3; ++n)
        collector->SetComm(n);

    EXPECT_EQ(serial(1).settingsAtOpen(), QStringList({"19200,E,7,2"}));
    EXPECT_EQ(serial(1).Handshaking(), 2);
    EXPECT_EQ(serial(1).CommPort(), 1);
    EXPECT_TRUE(collector->state(1).StepActive);
    EXPECT_EQ(collector->state(1).StepInterval, 30000);
    EXPECT_EQ(serial(2).settingsAtOpen(), QStringList({"9600,O,8,1"}));
    EXPECT_FALSE(collector->state(2).StepActive);
    EXPECT_EQ(serial(3).openCount(), 0);
    EXPECT_EQ(collector->StatusPanel(3), "None");
}

TEST_F(CollectorTest, FailedOpeningOffersTheOptionsScreen)
{
    serialChannel(1);
    make();
    serial(1).setOpenFailure("No such device");
    collector->SetComm(1); // headless answer: Cancel
    ASSERT_EQ(messenger.shown.size(), 1u);
    EXPECT_TRUE(messenger.shown[0].text.startsWith("I settaggi per la porta di comunicazione sono errati oppure\r\n"));
    EXPECT_TRUE(
        messenger.shown[0].text.endsWith("\r\n\r\nChannel 1 (Com1 at 9600,N,8,1) is not opened: No such device"
                                         "\r\n\r\nAndare alla schermata Opzioni?"))
        << messenger.shown[0].text.toStdString();
    EXPECT_EQ(messenger.shown[0].buttons, MsgButtons::OkCancel);
    EXPECT_FALSE(serial(1).PortOpen());

    // OK: the channel is closed, the options shown, and it is opened again.
    int optionsShown = 0;
    Collector::Hooks hooks;
    hooks.showOptions = [&] {
        ++optionsShown;
        serial(1).setOpenFailure(QString());
    };
    collector->setHooks(hooks);
    messenger.answers.push_back(MsgAnswer::Ok);
    collector->SetComm(1);
    EXPECT_EQ(optionsShown, 1);
    EXPECT_TRUE(serial(1).PortOpen());
    EXPECT_EQ(collector->StatusPanel(1), "Com1 Run/Wait");
}

TEST_F(CollectorTest, ModemIsResetAndInitialisedOrShownInError)
{
    for (int n : {1, 2}) {
        serialChannel(n);
        settings.Com[n].ConnType = "Modem";
    }
    make();
    serial(1).setResponder(
        [](const QByteArray &command) { return command.startsWith("AT") ? QByteArray("\r\nOK\r\n") : QByteArray(); });
    collector->SetComm(1);
    EXPECT_EQ(serial(1).writes(), QList<QByteArray>({"AT&F\r", "ATE0V1S0=1L0\r"}));
    EXPECT_EQ(collector->StatusPanel(1), "Com1 Modem ");

    // A modem that never answers: the 5-second time-out passes on the clock.
    QTimer later;
    QObject::connect(&later, &QTimer::timeout, [&] { clock.advanceMs(1000); });
    later.start(20);
    collector->SetComm(2);
    later.stop();
    EXPECT_EQ(serial(2).writes(), QList<QByteArray>({"AT&F\r"})); // no init after a failed reset
    EXPECT_EQ(collector->StatusPanel(2), " Error/n.d.");
    EXPECT_TRUE(messenger.texts().contains("Port 2 Connection Modem response Timed Out "));

    // A numeric "0" answer counts as OK.
    serial(2).setResponder([](const QByteArray &) { return QByteArray("0\r\n"); });
    collector->SetComm(2);
    EXPECT_EQ(collector->StatusPanel(2), "Com2 Modem ");
}

TEST_F(CollectorTest, ReplyTimeOutsFireWhenDueAndShowOneBox)
{
    tcpChannel(1);
    serialChannel(2);
    openChannels({1, 2});

    collector->resetTimerTimeout(1);
    EXPECT_EQ(collector->state(1).AckTimeout, 10000);
    clock.advanceMs(9999);
    collector->TimerStep_Timer();
    EXPECT_TRUE(messenger.shown.empty());
    clock.advanceMs(1);
    // While the box is open, further ticks do not show it again.
    messenger.onMessage = [&](const ScriptedMessenger::Shown &) {
        collector->TimerStep_Timer();
        collector->TimerStep_Timer();
    };
    collector->TimerStep_Timer();
    messenger.onMessage = nullptr;
    EXPECT_EQ(messenger.texts(), QStringList({"Connection TCP response Timed Out (channel 1, 127.0.0.1:3000)"}));
    EXPECT_TRUE(collector->state(1).TimedOut);
    EXPECT_FALSE(collector->state(1).AckWait);

    // A time-out of 0 fires on the next tick.
    collector->state(2).AckTimeout = 0;
    collector->resetTimerTimeout(2);
    collector->TimerStep_Timer();
    EXPECT_EQ(messenger.texts().last(), "Port 2 Timeout Sending File ");
}

TEST_F(CollectorTest, SilentTcpTerminalTimesOutEveryAttempt)
{
    tcpChannel(1);
    make();
    socket(1).setConnectOutcome(FakeSocket::ConnectOutcome::Pending);
    QTimer later;
    QObject::connect(&later, &QTimer::timeout, [&] { clock.advanceMs(5000); });
    later.start(5);
    collector->SetComm(1);
    later.stop();
    EXPECT_EQ(socket(1).connectAttempts(), 10);
    EXPECT_EQ(messenger.texts().count("Connection TCP response Timed Out (channel 1, 127.0.0.1:3000)"), 10);
    EXPECT_EQ(collector->StatusPanel(1), " Error/n.d.");
    // The attempts go on in the background, without a box each.
    EXPECT_TRUE(collector->LogPane(1).contains("no connection to 127.0.0.1:3000; trying again in the background"));
    socket(1).setConnectOutcome(FakeSocket::ConnectOutcome::Accept);
    EXPECT_TRUE(waitUntil([&] { return collector->StatusPanel(1) == "TCP Ready"; }, 2000));
    EXPECT_EQ(messenger.texts().size(), 10);
    EXPECT_FALSE(collector->state(1).Connecting);
}

TEST_F(CollectorTest, DataExchangeRequestsAreAnsweredByChannelState)
{
    serialChannel(1);
    serialChannel(2);
    settings.Com[3].Port = "None";
    openChannels({1, 2, 3});
    collector->setStatus(2, ChannelStatus::Error);
    collector->setStatus(4, ChannelStatus::Modem);
    setExchange("File(1)", home.file("requested.txt"));
    for (int n = 1; n <= 4; ++n)
        setExchange(QStringLiteral("ID(%1)").arg(n), "1");

    collector->TimerStep_Timer();
    EXPECT_EQ(exchange("ID(2)"), "6");
    EXPECT_EQ(exchange("ID(3)"), "5");
    EXPECT_EQ(exchange("ID(4)"), "9");
    EXPECT_EQ(exchange("ID(1)"), "1");
    EXPECT_TRUE(collector->state(1).Exchange);
    EXPECT_TRUE(collector->ExchangeActive());

    // After the 2-second step the request goes out and "2" is written.
    clock.advanceMs(2000);
    collector->TimerStep_Timer();
    EXPECT_EQ(exchange("ID(1)"), "2");
    EXPECT_EQ(serial(1).takeWritten(), "GETDATA0\r");
    EXPECT_FALSE(collector->state(1).StepActive); // one data file only

    // The terminal answers: records go to File(1); EOF ends the request.
    serial(1).receive("BOF\r" + record("r1") + record("r2") + "EOF\r");
    settle();
    EXPECT_EQ(serial(1).written(), kAckLine + kAckLine + kAckLine + kAckLine + "RMVDATA0\r");
    EXPECT_EQ(readFile(home.file("requested.txt")), QByteArray("r1\r\nr2\r\n"));
    EXPECT_FALSE(readFile(settings.DBMS[1].Name).contains("r1"));
    EXPECT_EQ(exchange("ID(1)"), "3");
    EXPECT_FALSE(collector->ExchangeActive());
    EXPECT_TRUE(collector->RequestKey().isEmpty());

    // "3" read back ends a request that has not gone out yet, and nothing
    // else: automatic collection is not the outside program's to stop.
    setExchange("ID(1)", "1");
    collector->TimerStep_Timer();
    EXPECT_EQ(collector->RequestKey(), "ID(1)");
    setExchange("ID(1)", "3");
    collector->TimerStep_Timer();
    EXPECT_TRUE(collector->RequestKey().isEmpty());
    EXPECT_FALSE(collector->state(1).StepActive);
    collector->state(1).Exchange = true;
    collector->TimerStep_Timer();
    EXPECT_TRUE(collector->state(1).Exchange);
}

TEST_F(CollectorTest, OnlyOneDataExchangeRequestIsServedAtATime)
{
    serialChannel(1);
    serialChannel(2);
    openChannels({1, 2});
    setExchange("ID(1)", "1");
    collector->TimerStep_Timer();
    clock.advanceMs(2000);
    collector->TimerStep_Timer();
    EXPECT_EQ(collector->RequestKey(), "ID(1)");

    setExchange("ID(2)", "1");
    clock.advanceMs(5000);
    collector->TimerStep_Timer();
    EXPECT_FALSE(collector->state(2).StepActive);
    EXPECT_TRUE(serial(2).written().isEmpty());

    // Channel 1's transfer ends; channel 2 starts on a later tick.
    serial(1).receive("BOF\rEOF\r");
    settle();
    EXPECT_TRUE(collector->RequestKey().isEmpty());
    collector->TimerStep_Timer();
    EXPECT_TRUE(collector->state(2).StepActive);
    clock.advanceMs(2000);
    collector->TimerStep_Timer();
    EXPECT_EQ(serial(2).written(), "GETDATA0\r");
}

TEST_F(CollectorTest, InfraredCradleIsProbedProgrammedAndOpened)
{
    serialChannel(1);
    settings.Com[1].ConnType = "IRCradle";
    settings.Com[1].Speed = "38400";
    serialChannel(2);
    settings.Com[2].ConnType = "IRCradle";
    make();
    // The cradle answers its probe byte only at 38400 bit/s.
    FakeSerialPort *port = &serial(1);
    port->setResponder([port](const QByteArray &out) {
        return out == QByteArray(1, '\x0F') && port->Settings().startsWith("38400") ? QByteArray("R") : QByteArray();
    });
    collector->SetComm(1);
    EXPECT_EQ(serial(1).settingsAtOpen().mid(0, 2), QStringList({"9600,n,8,1", "38400,n,8,1"}));
    QList<QByteArray> programming = serial(1).writes().mid(2, 4);
    EXPECT_EQ(programming, QList<QByteArray>({"\x07", "4", "Q", "\x0F"}));
    EXPECT_TRUE(serial(1).rtsHistory().contains(false));
    EXPECT_FALSE(collector->CaptureMode);
    EXPECT_TRUE(serial(1).PortOpen());
    EXPECT_EQ(serial(1).Settings(), "38400,N,8,1");
    EXPECT_EQ(collector->StatusPanel(1), "Com1 Run/Wait");

    // A cradle that never answers: every speed is probed, then the failure.
    collector->SetComm(2);
    EXPECT_EQ(serial(2).settingsAtOpen(),
              QStringList({"9600,n,8,1", "38400,n,8,1", "115200,n,8,1", "57600,n,8,1", "19200,n,8,1"}));
    EXPECT_FALSE(serial(2).PortOpen());
    EXPECT_EQ(collector->StatusPanel(2), " Error/n.d.");
    EXPECT_TRUE(messenger.texts().last().endsWith("Andare alla schermata Opzioni?"));
}

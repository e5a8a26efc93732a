// The settings receive over in-memory transports, and the import filter.
#include "FakeIrDevice.h"
#include "FakeTransports.h"
#include "SettingsTerminal.h"
#include "TestSupport.h"
#include "crclib/CrcLibrary.h"
#include "platform/Clock.h"
#include "platform/Messenger.h"
#include "platform/Paths.h"
#include "transfer/SettingsImport.h"
#include "transfer/SettingsReceiver.h"
#include "transfer/TransferMessages.h"

#include <QFile>
#include <gtest/gtest.h>
#include <optional>
#include <sys/stat.h>

using namespace vx;
using vx::test::SettingsTerminal;

namespace {

struct ReceiveRig {
    ManualClock clock;
    test::FakeSerialPort port;
    test::FakeIrDevice ir;
    ScriptedMessenger messenger;
    SettingsReceiver receiver{CrcLibrary::instance(), clock};
    std::optional<ReceiveOutcome> outcome;

    ReceiveRig()
    {
        receiver.setMessenger(&messenger);
        QObject::connect(&receiver, &SettingsReceiver::finished, [this](ReceiveOutcome o) { outcome = o; });
    }
    // Serial: the stream arrives in pieces of a few characters.
    void feed(const QByteArray &bytes, int piece = 5)
    {
        for (qsizetype i = 0; i < bytes.size(); i += piece)
            port.receive(bytes.mid(i, piece));
    }
    ReceiveOutcome wait()
    {
        EXPECT_TRUE(test::waitUntil([&] { return outcome.has_value(); }));
        return outcome.value_or(ReceiveOutcome::Cancelled);
    }
};

} // namespace

TEST(SettingsReceive, SerialStreamIsCheckedAndImported)
{
    test::TempHome home;
    ReceiveRig rig;
    rig.receiver.startSerial(&rig.port, 2, QStringLiteral("57600"));
    EXPECT_EQ(rig.receiver.tempPath(), Paths::dataFile("VDX.tmp"));
    EXPECT_EQ(rig.port.CommPort(), 2);
    EXPECT_EQ(rig.port.settingsAtOpen(), QStringList({"57600,n,8,1"}));
    EXPECT_EQ(rig.port.Handshaking(), 2);
    EXPECT_EQ(rig.port.InputLen(), 1);
    EXPECT_TRUE(rig.port.RTSEnable());

    rig.feed(SettingsTerminal::Stream({"A=1"}));
    EXPECT_EQ(rig.wait(), ReceiveOutcome::Accepted);
    EXPECT_EQ(rig.receiver.computedCrc(), SettingsTerminal::Crc({"SETTINGSBOFA=1EOF"}));
    EXPECT_EQ(rig.receiver.expectedCrc(), rig.receiver.computedCrc());
    EXPECT_FALSE(rig.port.PortOpen());
    EXPECT_EQ(test::readFile(rig.receiver.tempPath()), "SETTINGS\r\nBOF\r\nA=1\r\nEOF\r\n");

    const QString target = home.file("T.VDX");
    ASSERT_TRUE(ImportSettings(rig.receiver.tempPath(), target));
    EXPECT_EQ(test::readFile(target), "A=1\r\n");
    EXPECT_FALSE(QFile::exists(rig.receiver.tempPath()));
    // Without a temporary file the import fails and leaves the target alone.
    QString why;
    EXPECT_FALSE(ImportSettings(rig.receiver.tempPath(), target, &why));
    EXPECT_FALSE(why.isEmpty());
    EXPECT_EQ(test::readFile(target), "A=1\r\n");
}

// A received profile keeps the mode of the one it replaces; a new one gets
// what the umask leaves of 0666, as any file the user makes.
TEST(SettingsReceive, ImportKeepsTheModeOfTheProfileItReplaces)
{
    test::TempHome home;
    const mode_t before = ::umask(027);
    struct Case {
        int existing; // -1: no file yet
        int expected;
    } const cases[] = {{0600, 0600}, {0640, 0640}, {0664, 0664}, {-1, 0640}};
    for (const Case &c : cases) {
        const QString target = home.file(QStringLiteral("T%1.VDX").arg(c.existing));
        if (c.existing >= 0) {
            test::writeFile(target, "OLD=1\r\n");
            ASSERT_EQ(::chmod(QFile::encodeName(target).constData(), mode_t(c.existing)), 0);
        }
        const QString temp = home.file("VDX.tmp");
        test::writeFile(temp, "SETTINGS\r\nBOF\r\nA=1\r\nEOF\r\n");
        QString why;
        ASSERT_TRUE(ImportSettings(temp, target, &why)) << why.toStdString();
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(target).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode_t(c.expected)) << std::oct << c.existing;
        EXPECT_EQ(test::readFile(target), "A=1\r\n");
    }
    ::umask(before);
}

TEST(SettingsReceive, CrcComparisonAndImportFilter)
{
    test::TempHome home;
    { // Lower-case CRC digits are not the CRC.
        ReceiveRig rig;
        rig.receiver.startSerial(&rig.port, 1, QStringLiteral("57600"));
        SettingsTerminal::StreamOptions lower;
        lower.lowerCaseCrc = true;
        rig.feed(SettingsTerminal::Stream({"A=1"}, lower));
        EXPECT_EQ(rig.wait(), ReceiveOutcome::CrcMismatch);
        EXPECT_EQ(ReceiveOutcomeText(ReceiveOutcome::CrcMismatch), "Error Receiving Settings, Please Try again.");
    }
    { // VERSION, HARDWARE and FIRMWARE count for the CRC but are not
        // imported; a line with a comma becomes two lines.
        ReceiveRig rig;
        rig.receiver.startSerial(&rig.port, 1, QStringLiteral("57600"));
        const QList<QByteArray> lines = {"VERSION=3.2", "B=1,C=2", "HARDWARE=8300", "FIRMWARE=x", "D=3"};
        SettingsTerminal::StreamOptions itemsCrc;
        itemsCrc.crcOverride = SettingsTerminal::Crc(
            {"SETTINGS", "BOF", "VERSION=3.2", "B=1", "C=2", "HARDWARE=8300", "FIRMWARE=x", "D=3", "EOF"});
        rig.feed(SettingsTerminal::Stream(lines, itemsCrc), 64);
        EXPECT_EQ(rig.wait(), ReceiveOutcome::Accepted);
        EXPECT_EQ(rig.receiver.computedCrc(), itemsCrc.crcOverride);
        const QString target = home.file("T.VDX");
        test::writeFile(target, "old\r\n");
        ASSERT_TRUE(ImportSettings(rig.receiver.tempPath(), target));
        EXPECT_EQ(test::readFile(target), "B=1\r\nC=2\r\nD=3\r\n");
    }
}

TEST(SettingsReceive, CancelAndPortFailure)
{
    test::TempHome home;
    { // Before "EOF": nothing to report. A line feed after each CR hides
        // "EOF", so this reception never ends by itself.
        ReceiveRig rig;
        rig.receiver.startSerial(&rig.port, 1, QStringLiteral("57600"));
        SettingsTerminal::StreamOptions crlf;
        crlf.lfAfterCr = true;
        rig.feed(SettingsTerminal::Stream({"A=1"}, crlf));
        test::waitUntil([] { return false; }, 100);
        EXPECT_FALSE(rig.outcome.has_value());
        EXPECT_TRUE(rig.receiver.expectedCrc().isEmpty());
        rig.receiver.cancel();
        EXPECT_EQ(rig.wait(), ReceiveOutcome::Cancelled);
        EXPECT_FALSE(rig.port.PortOpen());
        EXPECT_TRUE(ReceiveOutcomeText(ReceiveOutcome::Cancelled).isEmpty());
        EXPECT_NE(rig.receiver.computedCrc(), rig.receiver.expectedCrc());
    }
    { // After "EOF": an error.
        ReceiveRig rig;
        rig.receiver.startSerial(&rig.port, 1, QStringLiteral("57600"));
        rig.feed("SETTINGS\rBOF\rA=1\rEOF\r");
        EXPECT_EQ(rig.receiver.expectedCrc(), "EOF");
        rig.receiver.cancel();
        EXPECT_EQ(rig.wait(), ReceiveOutcome::CancelledAfterEof);
        EXPECT_EQ(ReceiveOutcomeText(*rig.outcome), TransferText::receiveError());
        EXPECT_FALSE(rig.receiver.computedCrc().isEmpty());
        EXPECT_NE(rig.receiver.computedCrc(), rig.receiver.expectedCrc());
    }
    {
        ReceiveRig rig;
        rig.port.setOpenFailure(QStringLiteral("busy"));
        rig.receiver.startSerial(&rig.port, 1, QStringLiteral("57600"));
        EXPECT_EQ(rig.wait(), ReceiveOutcome::PortNotOpened);
        EXPECT_EQ(ReceiveOutcomeText(*rig.outcome), "WARNING: can't open com port");
    }
}

// The wait for the terminal's first byte has no limit; from that byte on a
// reception ends after ten minutes, whether the terminal keeps sending (its
// next byte ends it) or falls silent (the reception's own tick ends it).
// The port is closed and VDX.tmp removed.
TEST(SettingsReceive, EndsTenMinutesAfterTheFirstByte)
{
    test::TempHome home;
    const qint64 tenMinutes = 10 * 60 * 1000;
    for (const bool keepsSending : {true, false}) {
        SCOPED_TRACE(keepsSending ? "still sending" : "silent");
        ReceiveRig rig;
        rig.receiver.startSerial(&rig.port, 1, QStringLiteral("57600"));
        // Silent stretches are looked at by a tick once a second: let one pass.
        auto tick = [keepsSending] {
            if (!keepsSending)
                test::waitUntil([] { return false; }, 1100);
        };
        rig.clock.advanceMs(24 * 3600 * 1000); // a day before the first byte
        tick();
        ASSERT_FALSE(rig.outcome.has_value());

        rig.feed("SETTINGS\r");
        for (int minute = 1; minute <= 10; ++minute) { // a line a minute
            rig.clock.advanceMs(tenMinutes / 10);
            rig.feed("A=1\r");
        }
        tick();
        ASSERT_FALSE(rig.outcome.has_value()) << "ended before ten minutes had passed";
        rig.clock.advanceMs(1);
        if (keepsSending)
            rig.feed("B=2\r");
        EXPECT_EQ(rig.wait(), ReceiveOutcome::TooLong);
        EXPECT_EQ(rig.receiver.linesReceived(), 11);
        EXPECT_TRUE(rig.receiver.failureText().contains("10 minutes after its first byte"));
        EXPECT_FALSE(rig.port.PortOpen());
        EXPECT_FALSE(QFile::exists(rig.receiver.tempPath()));
    }
}

TEST(SettingsReceive, InfraredWaitsForTheTerminalThenForQuiet)
{
    test::TempHome home;
    { // Lines split across reads are put together; "EOF" ends it.
        ReceiveRig rig;
        rig.ir.readChunk = 3;
        rig.receiver.startInfrared(&rig.ir, 4, 115200);
        EXPECT_EQ(rig.ir.lastPort, 4);
        EXPECT_EQ(rig.ir.lastSpeed, 115200);
        rig.clock.advanceMs(5000); // nothing yet: it keeps waiting
        test::waitUntil([] { return false; }, 100);
        EXPECT_FALSE(rig.outcome.has_value());
        // The terminal's CRC line covers the items, split at the comma.
        SettingsTerminal::StreamOptions options;
        options.crcOverride = SettingsTerminal::Crc({"SETTINGSBOFA=1B=23EOF"});
        rig.ir.incoming = SettingsTerminal::Stream({"A=1", "B=2,3"}, options);
        EXPECT_EQ(rig.wait(), ReceiveOutcome::Accepted);
        EXPECT_EQ(test::readFile(rig.receiver.tempPath()), "SETTINGS\r\nBOF\r\nA=1\r\nB=2,3\r\nEOF\r\n");
        EXPECT_EQ(rig.receiver.computedCrc(), SettingsTerminal::Crc({"SETTINGSBOFA=1B=23EOF"}));
        EXPECT_EQ(rig.receiver.expectedCrc(), rig.receiver.computedCrc());
        EXPECT_FALSE(rig.ir.linkOpen);
    }
    { // A stream without its CRC line ends after a second of quiet,
        // unchecked and so refused.
        ReceiveRig rig;
        rig.receiver.startInfrared(&rig.ir, 1, 38400);
        rig.ir.incoming = "SETTINGS\rBOF\rA=1\r";
        ASSERT_TRUE(test::waitUntil([&] { return rig.receiver.linesReceived() == 3; }));
        rig.clock.advanceMs(999);
        test::waitUntil([] { return false; }, 100);
        EXPECT_FALSE(rig.outcome.has_value());
        rig.clock.advanceMs(1);
        EXPECT_EQ(rig.wait(), ReceiveOutcome::CrcMismatch);
    }
    { // The terminal's CRC line is compared: a changed byte is refused.
        ReceiveRig rig;
        rig.receiver.startInfrared(&rig.ir, 1, 38400);
        rig.ir.incoming = SettingsTerminal::Stream({"A=1", "B=2"}).replace("B=2", "B=3");
        EXPECT_EQ(rig.wait(), ReceiveOutcome::CrcMismatch);
        EXPECT_EQ(ReceiveOutcomeText(*rig.outcome), TransferText::receiveError());
        EXPECT_NE(rig.receiver.expectedCrc(), rig.receiver.computedCrc());
    }
    { // Only blanks: failed, nothing to import.
        ReceiveRig rig;
        rig.receiver.startInfrared(&rig.ir, 1, 38400);
        rig.ir.incoming = "   \r";
        ASSERT_TRUE(test::waitUntil([&] { return rig.receiver.linesReceived() == 1; }));
        rig.clock.advanceMs(1000);
        EXPECT_EQ(rig.wait(), ReceiveOutcome::NothingReceived);
        EXPECT_EQ(ReceiveOutcomeText(*rig.outcome), TransferText::receiveError());
    }
}

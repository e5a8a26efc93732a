// The settings send over in-memory transports: framing, items, answers,
// attempts, the answer timer on an injected clock, cancel, infrared rules.
#include "FakeIrDevice.h"
#include "FakeTransports.h"
#include "SettingsTerminal.h"
#include "TestSupport.h"
#include "crclib/CrcLibrary.h"
#include "platform/Clock.h"
#include "transfer/SettingsLine.h"
#include "transfer/SettingsLinks.h"
#include "transfer/SettingsSender.h"
#include "transfer/TransferMessages.h"

#include <gtest/gtest.h>
#include <optional>

using namespace vx;
using vx::test::SettingsTerminal;

TEST(SettingsLine, CheckBytesAndFraming)
{
    EXPECT_EQ(FrameSettingsLine("BOF"), QByteArray("BOF\xD7\r"));
    EXPECT_EQ(SettingsCheckByte("EOF"), char(0xDA));
    EXPECT_EQ(SettingsCheckByte("SETTINGS"), char(0x73)); // 625 - 2 * 255
    EXPECT_EQ(SettingsCheckByte("\x0D"), char(1));        // sum 13
    EXPECT_EQ(SettingsCheckByte("\x80\x8C"), char(1));    // 268 - 255 = 13
    EXPECT_EQ(FrameSettingsLine(""), QByteArray("\x01\r"));
    EXPECT_EQ(SettingsCheckByte("\xFF"), char(1)); // 255 -> 0 -> 1
    // The terminal's own computation agrees on every text of bytes 0..255.
    for (int b = 0; b < 256; ++b) {
        const QByteArray text = QByteArray("A=") + char(b) + char(255 - b) + char(b / 2);
        EXPECT_EQ(SettingsCheckByte(text), SettingsTerminal::CheckByte(text)) << b;
        EXPECT_NE(SettingsCheckByte(text), '\r');
    }
}

TEST(SettingsLine, ItemsEndAtCommasAndLineEnds)
{
    EXPECT_EQ(SettingsItems("A=1,2\r\nB= x \n\r\nC\rD"), QList<QByteArray>({"A=1", "2", "B= x ", "", "C", "D"}));
    EXPECT_EQ(SettingsItems("A,\r\n"), QList<QByteArray>({"A", ""}));
    EXPECT_TRUE(SettingsItems("").isEmpty());
    EXPECT_EQ(SettingsItemKey("VERSION=1.2"), "VERSION");
    EXPECT_EQ(SettingsItemKey("EOF"), "EOF");
}

namespace {

// The sender on a fake serial port, the simulated terminal answering.
struct SerialRig {
    ManualClock clock;
    test::FakeSerialPort port;
    SettingsTerminal terminal;
    SerialSendLink link{&port, 3, QStringLiteral(" 38400 ")};
    SettingsSender sender{&link, CrcLibrary::instance(), clock};
    std::optional<SendOutcome> outcome;
    QList<int> attempts;

    SerialRig()
    {
        port.setResponder([this](const QByteArray &text) { return terminal.take(text); });
        QObject::connect(&sender, &SettingsSender::finished, [this](SendOutcome o) { outcome = o; });
        QObject::connect(&sender, &SettingsSender::lineSent,
                         [this](const QByteArray &, int attempt) { attempts << attempt; });
    }
    SendOutcome run(const QString &path)
    {
        sender.start(path);
        EXPECT_TRUE(test::waitUntil([&] { return outcome.has_value(); }));
        return outcome.value_or(SendOutcome::Stopped);
    }
};

QString profile(const test::TempHome &home, const QByteArray &content)
{
    const QString path = home.file(QStringLiteral("P.VDX"));
    test::writeFile(path, content);
    return path;
}

} // namespace

TEST(SettingsSend, SerialExchangeSendsFramedItemsAndTheirCrc)
{
    test::TempHome home;
    SerialRig rig;
    EXPECT_EQ(rig.run(profile(home, "MISC.TERMTYPE=8xxx\r\nA=1\r\nFLAG=17\r\n")), SendOutcome::Success);

    // The port as the exchange set it up.
    EXPECT_EQ(rig.port.CommPort(), 3);
    EXPECT_EQ(rig.port.settingsAtOpen(), QStringList({"38400,n,8,1"}));
    EXPECT_EQ(rig.port.Handshaking(), 0);
    EXPECT_FALSE(rig.port.DTREnable());
    EXPECT_TRUE(rig.port.RTSEnable());
    EXPECT_EQ(rig.port.InBufferSize(), 300);
    EXPECT_EQ(rig.port.OutBufferSize(), 1500);
    EXPECT_FALSE(rig.port.PortOpen()); // closed after the success

    // One character per write.
    for (const QByteArray &w : rig.port.writes())
        EXPECT_EQ(w.size(), 1);
    EXPECT_TRUE(rig.port.written().startsWith(QByteArray("SETTINGS\x73\rBOF\xD7\r")));
    EXPECT_EQ(rig.terminal.items(), QList<QByteArray>({"MISC.TERMTYPE=8xxx", "A=1", "FLAG=17"}));
    EXPECT_EQ(rig.terminal.badChecks(), 0);
    EXPECT_TRUE(rig.terminal.crcAgreed());
    EXPECT_EQ(rig.sender.crcText(),
              SettingsTerminal::Crc({"SETTINGS", "BOF", "MISC.TERMTYPE=8xxx", "A=1", "FLAG=17", "EOF"}));
    EXPECT_EQ(SendOutcomeText(SendOutcome::Success), TransferText::sendSuccess());
}

// The terminal would split a value at its comma: such a profile is refused
// before the port is opened, and the message names every key.
TEST(SettingsSend, ValueWithCommaIsRefusedBeforeAnythingIsSent)
{
    test::TempHome home;
    SerialRig rig;
    const QString path = profile(home, "MISC.DIAL=0,5551234\r\nB=1\r\nPROFILE0.NAME=Qty,PROFILE0.EXIST=0\nFLAG=17\r\n");
    EXPECT_EQ(rig.run(path), SendOutcome::CommaInValue);
    EXPECT_EQ(rig.port.openCount(), 0);
    EXPECT_TRUE(rig.port.written().isEmpty());
    EXPECT_EQ(rig.sender.outcomeText(),
              "The value of MISC.DIAL; PROFILE0.NAME holds a comma: the terminal would take what follows it as another "
              "setting. The profile was not sent.");
    EXPECT_EQ(SendOutcomeIcon(SendOutcome::CommaInValue), MsgIcon::Critical);
}

TEST(SettingsSend, RefusalsAndChecksumAnswers)
{
    test::TempHome home;
    const QString path = profile(home, "A=1\r\nB=2\r\n");
    { // NAK twice to one line: exactly two sends, then the failure.
        SerialRig rig;
        rig.terminal.setRule([](const QByteArray &text, int, bool) -> std::optional<QByteArray> {
            if (text == "B=2")
                return QByteArray("NAK");
            return std::nullopt;
        });
        EXPECT_EQ(rig.run(path), SendOutcome::Failure);
        EXPECT_EQ(rig.terminal.sendsOf("B=2"), 2);
        EXPECT_EQ(rig.terminal.sendsOf("EOF"), 0);
        EXPECT_TRUE(rig.port.PortOpen()); // stays open until Start or Cancel
        EXPECT_EQ(SendOutcomeText(*rig.outcome), TransferText::sendFailure());
    }
    { // NAK once to the CRC line: one more send, then success. A stray
        // line before an answer is dropped, not taken for the answer.
        SerialRig rig;
        rig.terminal.setRule([](const QByteArray &text, int attempt, bool crcLine) -> std::optional<QByteArray> {
            if (crcLine && attempt == 1)
                return QByteArray("NAK");
            if (text == "A=1")
                return QByteArray("HELLO\rACK");
            return std::nullopt;
        });
        EXPECT_EQ(rig.run(path), SendOutcome::Success);
        EXPECT_EQ(rig.terminal.sendsOf(rig.sender.crcText()), 2);
        EXPECT_EQ(rig.terminal.sendsOf("A=1"), 1);
    }
    { // NOK to the CRC line: the checksum message, no second send.
        SerialRig rig;
        rig.terminal.setRule([](const QByteArray &, int, bool crcLine) -> std::optional<QByteArray> {
            return crcLine ? std::optional<QByteArray>("NOK") : std::nullopt;
        });
        EXPECT_EQ(rig.run(path), SendOutcome::ChecksumError);
        EXPECT_EQ(rig.terminal.sendsOf(rig.sender.crcText()), 1);
        EXPECT_EQ(SendOutcomeText(*rig.outcome), TransferText::sendChecksumError());
    }
}

TEST(SettingsSend, SilenceEndsTenSecondsAfterTheLine)
{
    test::TempHome home;
    SerialRig rig;
    rig.terminal.setRule([](const QByteArray &text, int, bool) -> std::optional<QByteArray> {
        return text == "BOF" ? std::optional<QByteArray>(QByteArray()) : std::nullopt;
    });
    rig.sender.start(profile(home, "A=1\r\n"));
    ASSERT_TRUE(test::waitUntil([&] { return rig.terminal.sendsOf("BOF") == 1; }));
    rig.clock.advanceMs(SettingsSender::kAnswerTimeoutMs - 1);
    test::waitUntil([] { return false; }, 200);
    EXPECT_FALSE(rig.outcome.has_value());
    rig.clock.advanceMs(1);
    ASSERT_TRUE(test::waitUntil([&] { return rig.outcome.has_value(); }));
    EXPECT_EQ(*rig.outcome, SendOutcome::Timeout);
    EXPECT_EQ(rig.terminal.sendsOf("BOF"), 1); // no second attempt
    EXPECT_EQ(SendOutcomeText(*rig.outcome), TransferText::sendTimeout());
}

TEST(SettingsSend, PortFailuresAndCancel)
{
    test::TempHome home;
    QByteArray many;
    for (int i = 0; i < 120; ++i)
        many += "K" + QByteArray::number(i) + "=1\r\n";
    const QString path = profile(home, many);
    {
        SerialRig rig;
        rig.port.setOpenFailure(QStringLiteral("busy"));
        EXPECT_EQ(rig.run(path), SendOutcome::PortNotOpened);
        EXPECT_EQ(SendOutcomeText(*rig.outcome), TransferText::cantOpenPort());
        EXPECT_EQ(SendOutcomeIcon(*rig.outcome), MsgIcon::Critical);
    }
    { // Cancel during the items: the failure message at the next item.
        SerialRig rig;
        QList<int> progress;
        QObject::connect(&rig.sender, &SettingsSender::progress, [&](int v) { progress << v; });
        rig.terminal.setRule([&](const QByteArray &text, int, bool) -> std::optional<QByteArray> {
            if (text == "K110=1")
                QMetaObject::invokeMethod(
                    &rig.sender, [&] { rig.sender.cancel(); }, Qt::QueuedConnection);
            return text == "K110=1" ? std::optional<QByteArray>(QByteArray()) : std::nullopt;
        });
        EXPECT_EQ(rig.run(path), SendOutcome::Failure);
        EXPECT_FALSE(rig.port.PortOpen());
        EXPECT_EQ(rig.terminal.sendsOf("K111=1"), 0);
        ASSERT_GE(progress.size(), 101);
        EXPECT_EQ(progress.at(98), 99); // the bar wraps on the hundredth item
        EXPECT_EQ(progress.at(99), 0);
    }
    { // Cancel while the CRC line waits: ends without a message.
        SerialRig rig;
        rig.terminal.setRule([&](const QByteArray &, int, bool crcLine) -> std::optional<QByteArray> {
            if (!crcLine)
                return std::nullopt;
            QMetaObject::invokeMethod(
                &rig.sender, [&] { rig.sender.cancel(); }, Qt::QueuedConnection);
            return QByteArray();
        });
        EXPECT_EQ(rig.run(path), SendOutcome::Stopped);
        EXPECT_TRUE(SendOutcomeText(SendOutcome::Stopped).isEmpty());
    }
    { // A profile that cannot be read.
        SerialRig rig;
        EXPECT_EQ(rig.run(home.file("missing.VDX")), SendOutcome::FileNotReadable);
        EXPECT_EQ(rig.port.openCount(), 0);
    }
}

TEST(SettingsSend, InfraredSkipsTerminalTypeAndClosesAtEveryEnd)
{
    test::TempHome home;
    const QString path = profile(home, "MISC.TERMTYPE=7xxx\r\nMISC.LANGUAGE=0\r\n");
    auto rig = [&](SettingsTerminal::Rule rule, SendOutcome expected, test::FakeIrDevice *ir) {
        SettingsTerminal terminal;
        terminal.setRule(std::move(rule));
        ir->readChunk = 2; // answers trickle in
        ir->responder = [&](const QByteArray &text) { return "  " + terminal.take(text); };
        InfraredSendLink link(ir, 2, 57600);
        SettingsSender sender(&link, CrcLibrary::instance());
        std::optional<SendOutcome> outcome;
        QObject::connect(&sender, &SettingsSender::finished, [&](SendOutcome o) { outcome = o; });
        sender.start(path);
        EXPECT_TRUE(test::waitUntil([&] { return outcome.has_value(); }));
        EXPECT_EQ(outcome, expected);
        EXPECT_FALSE(ir->linkOpen);
        return std::make_pair(terminal.items(), terminal.lines());
    };
    {
        test::FakeIrDevice ir;
        const auto [items, lines] = rig({}, SendOutcome::Success, &ir);
        EXPECT_EQ(items, QList<QByteArray>({"MISC.LANGUAGE=0"}));
        EXPECT_EQ(ir.lastPort, 2);
        EXPECT_EQ(ir.lastSpeed, 57600);
        EXPECT_EQ(ir.writes.first(), FrameSettingsLine("SETTINGS")); // one write per line
    }
    { // Over infrared anything but ACK is a refusal; NOK only counts for the CRC line.
        test::FakeIrDevice ir;
        const auto [items, lines] = rig(
            [](const QByteArray &text, int, bool) -> std::optional<QByteArray> {
                return text == "MISC.LANGUAGE=0" ? std::optional<QByteArray>("NOK") : std::nullopt;
            },
            SendOutcome::Failure, &ir);
        EXPECT_EQ(lines.count("MISC.LANGUAGE=0"), 2);
    }
    {
        test::FakeIrDevice ir;
        rig([](const QByteArray &, int,
               bool crc) -> std::optional<QByteArray> { return crc ? std::optional<QByteArray>("NOK") : std::nullopt; },
            SendOutcome::ChecksumError, &ir);
    }
    { // A link that does not open ends silently.
        test::FakeIrDevice ir;
        ir.openResult = 0;
        rig({}, SendOutcome::LinkNotOpened, &ir);
        EXPECT_TRUE(ir.writes.isEmpty());
        EXPECT_TRUE(SendOutcomeText(SendOutcome::LinkNotOpened).isEmpty());
    }
}

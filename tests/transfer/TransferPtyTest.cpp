// The settings transfer over real pseudo-terminals (socat): the program's Qt
// serial port or libIrLib.so on one end, the simulated terminal on the other.
#include "PtyPair.h"
#include "SettingsTerminal.h"
#include "TestSupport.h"
#include "crclib/CrcLibrary.h"
#include "platform/Messenger.h"
#include "profiles/ProfileFile.h"
#include "transfer/SettingsImport.h"
#include "transfer/SettingsLinks.h"
#include "transfer/SettingsReceiver.h"
#include "transfer/SettingsSender.h"
#include "transport/QtSerialPort.h"

#include <gtest/gtest.h>
#include <optional>

using namespace vx;
using vx::test::SettingsTerminal;

namespace {

// Com5 is the PC's end of a fresh pair; the terminal sits on the other end.
struct PtyRig {
    test::TempHome home;
    test::PtyPair pair;
    SettingsTerminal terminal;

    PtyRig()
    {
        if (!pair.isReady())
            return;
        qputenv("VENDRIX_COM5", pair.pcEnd().toLocal8Bit());
        EXPECT_TRUE(terminal.openSerial(pair.terminalEnd())) << terminal.errorText().toStdString();
    }
    ~PtyRig() { qunsetenv("VENDRIX_COM5"); }

    SendOutcome send(SettingsSendLink &link, const QString &path)
    {
        SettingsSender sender(&link, CrcLibrary::instance());
        std::optional<SendOutcome> outcome;
        QObject::connect(&sender, &SettingsSender::finished, [&](SendOutcome o) { outcome = o; });
        sender.start(path);
        EXPECT_TRUE(test::waitUntil([&] { return outcome.has_value(); }, 20000));
        return outcome.value_or(SendOutcome::Stopped);
    }

    // Starts the reception, lets the terminal echo what it got, imports.
    ImportResult receiveEcho(const std::function<void(SettingsReceiver &)> &start, const QString &target,
                             ProfileSet *set)
    {
        SettingsReceiver receiver(CrcLibrary::instance());
        std::optional<ReceiveOutcome> outcome;
        QObject::connect(&receiver, &SettingsReceiver::finished, [&](ReceiveOutcome o) { outcome = o; });
        start(receiver);
        EXPECT_TRUE(receiver.isRunning());
        terminal.echo();
        EXPECT_TRUE(test::waitUntil([&] { return outcome.has_value(); }, 20000));
        ScriptedMessenger messenger;
        return CompleteSettingsReception(outcome.value_or(ReceiveOutcome::Cancelled), receiver.tempPath(), target, set,
                                         messenger, false);
    }
};

#define REQUIRE_PTY(rig)                                                                                               \
    if (!(rig).pair.isReady())                                                                                         \
    GTEST_SKIP() << "no pseudo-terminal pair: " << (rig).pair.errorText().toStdString()

// A profile that differs from the defaults in several places.
ProfileSet changedProfile()
{
    ProfileSet set;
    set.TerminalFamily = QStringLiteral("711");
    set.TerminalOptions.Language = 3;
    set.TerminalOptions.OperatorIdValue = QStringLiteral("42");
    set.Functions[1].Name = QStringLiteral("Inventario");
    set.Functions[1].Fields[2].Name = QStringLiteral("Quantita");
    set.Functions[1].Fields[2].Mask = QStringLiteral("99999");
    set.Functions[4].Enabled = 0;
    return set;
}

} // namespace

TEST(TransferOverPty, SerialRoundTripReproducesTheProfile)
{
    PtyRig rig;
    REQUIRE_PTY(rig);
    const ProfileSet changed = changedProfile();
    const QString source = rig.home.file("Changed.VDX");
    ASSERT_TRUE(WriteProfileFile(changed, source));

    QtSerialPort port;
    SerialSendLink link(&port, 5, QStringLiteral("115200"));
    ASSERT_EQ(rig.send(link, source), SendOutcome::Success);
    EXPECT_TRUE(rig.terminal.crcAgreed());

    const QString target = rig.home.file("Back.VDX");
    ProfileSet back;
    EXPECT_EQ(
        rig.receiveEcho([&](SettingsReceiver &r) { r.startSerial(&port, 5, QStringLiteral("115200")); }, target, &back),
        ImportResult::Imported);
    EXPECT_EQ(test::readFile(target), test::readFile(source));
    EXPECT_EQ(ProfileLines(back), ProfileLines(changed));
}

TEST(TransferOverPty, InfraredLibraryBothWays)
{
    PtyRig rig;
    REQUIRE_PTY(rig);
    const QString source = rig.home.file("Ir.VDX");
    test::writeFile(source, "MISC.TERMTYPE=8xxx\r\nMISC.LANGUAGE=1\r\nPROFILE0.NAME=Vendite\r\nFLAG=17\r\n");

    IrLibDevice ir;
    InfraredSendLink link(&ir, 5, 38400);
    ASSERT_EQ(rig.send(link, source), SendOutcome::Success);
    EXPECT_TRUE(rig.terminal.crcAgreed());
    EXPECT_EQ(rig.terminal.items(), QList<QByteArray>({"MISC.LANGUAGE=1", "PROFILE0.NAME=Vendite", "FLAG=17"}));

    const QString target = rig.home.file("IrBack.VDX");
    EXPECT_EQ(rig.receiveEcho([&](SettingsReceiver &r) { r.startInfrared(&ir, 5, 38400); }, target, nullptr),
              ImportResult::Imported);
    EXPECT_EQ(test::readFile(target), "MISC.LANGUAGE=1\r\nPROFILE0.NAME=Vendite\r\nFLAG=17\r\n");
}

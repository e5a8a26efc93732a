// "Vendrix send-settings" and "Vendrix receive-settings" as a user runs them,
// against the simulated terminal on a pseudo-terminal pair.
#include "PtyPair.h"
#include "SettingsTerminal.h"
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "transfer/TransferMessages.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

using namespace vx;
using vx::test::SettingsTerminal;
using vx::test::VendrixProcess;

namespace {

struct CliRig {
    test::TempHome home;
    test::PtyPair pair;
    SettingsTerminal terminal;
    VendrixProcess vendrix{home.path()};

    bool ready()
    {
        if (!pair.isReady() || !terminal.openSerial(pair.terminalEnd()))
            return false;
        vendrix.setComDevice(2, pair.pcEnd());
        return true;
    }
    VendrixProcess::Exit run(const QStringList &args, int timeoutMs = 15000)
    {
        vendrix.setArguments(args);
        EXPECT_TRUE(vendrix.start()) << vendrix.errorText().toStdString();
        return vendrix.waitForExit(timeoutMs);
    }
    bool said(const QString &text) const { return vendrix.lines().contains(text); }
};

} // namespace

TEST(TransferCommandLine, SendSettings)
{
    CliRig rig;
    if (!rig.ready())
        GTEST_SKIP() << rig.pair.errorText().toStdString();
    const QString path = rig.home.file("P.VDX");
    // A value with a comma: refused, naming the key, nothing sent.
    test::writeFile(path, "MISC.TERMTYPE=8xxx\r\nMISC.LANGUAGE=1,2\r\nFLAG=17\r\n");
    VendrixProcess::Exit exit = rig.run({"send-settings", path, "--port", "Com2", "--speed", "38400"});
    EXPECT_EQ(exit.code, 1);
    EXPECT_TRUE(rig.vendrix.outputText().contains("The value of MISC.LANGUAGE holds a comma"))
        << rig.vendrix.outputText().toStdString();
    EXPECT_TRUE(rig.terminal.items().isEmpty());

    test::writeFile(path, "MISC.TERMTYPE=8xxx\r\nMISC.LANGUAGE=1\r\nFLAG=17\r\n");
    exit = rig.run({"send-settings", path, "--port", "Com2", "--speed", "38400"});
    EXPECT_EQ(exit.code, 0) << rig.vendrix.outputText().toStdString();
    EXPECT_TRUE(rig.said(TransferText::sendSuccess()));
    EXPECT_TRUE(rig.terminal.crcAgreed());
    EXPECT_EQ(rig.terminal.items(), QList<QByteArray>({"MISC.TERMTYPE=8xxx", "MISC.LANGUAGE=1", "FLAG=17"}));

    // Over the infrared library the terminal type stays behind.
    exit = rig.run({"send-settings", path, "--ir", "--port", "com2", "--speed", "38400"});
    EXPECT_EQ(exit.code, 0) << rig.vendrix.outputText().toStdString();
    EXPECT_EQ(rig.terminal.items(), QList<QByteArray>({"MISC.LANGUAGE=1", "FLAG=17"}));

    // The terminal refuses the CRC: the checksum message, exit 1.
    rig.terminal.setRule([](const QByteArray &, int, bool crcLine) -> std::optional<QByteArray> {
        return crcLine ? std::optional<QByteArray>("NOK") : std::nullopt;
    });
    exit = rig.run({"send-settings", path, "--port", "Com2", "--speed", "38400"});
    EXPECT_EQ(exit.code, 1);
    EXPECT_TRUE(rig.said(TransferText::sendChecksumError()));

    EXPECT_EQ(rig.run({"send-settings", rig.home.file("none.VDX"), "--port", "Com2", "--speed", "38400"}).code, 1);
    EXPECT_EQ(rig.run({"send-settings", path, "--port", "Com12", "--speed", "38400"}).code, 2);
    EXPECT_EQ(rig.run({"send-settings", path, "--speed", "38400"}).code, 2);
    EXPECT_EQ(rig.run({"receive-settings", path, "--port", "Com2", "--speed", "fast"}).code, 2);
}

TEST(TransferCommandLine, ReceiveSettings)
{
    CliRig rig;
    if (!rig.ready())
        GTEST_SKIP() << rig.pair.errorText().toStdString();
    const QString target = rig.home.file("R.VDX");
    rig.vendrix.setArguments({"receive-settings", target, "--port", "Com2", "--speed", "57600"});
    ASSERT_TRUE(rig.vendrix.start());
    ASSERT_TRUE(rig.vendrix.waitForOutput("^Waiting for the terminal", 10000));
    rig.terminal.sendRaw(SettingsTerminal::Stream({"FIRMWARE=2.1", "MISC.LANGUAGE=2"}));
    const VendrixProcess::Exit exit = rig.vendrix.waitForExit(10000);
    EXPECT_EQ(exit.code, 0) << rig.vendrix.outputText().toStdString();
    EXPECT_EQ(test::readFile(target), "MISC.LANGUAGE=2\r\n");
}

// The one real-time case: a silent terminal, and the time-out 10 s after
// the line.
TEST(TransferCommandLine, SilentTerminalTimesOut)
{
    CliRig rig;
    if (!rig.ready())
        GTEST_SKIP() << rig.pair.errorText().toStdString();
    const QString path = rig.home.file("P.VDX");
    test::writeFile(path, "A=1\r\n");
    rig.terminal.setRule([](const QByteArray &text, int, bool) -> std::optional<QByteArray> {
        return text == "A=1" ? std::optional<QByteArray>(QByteArray()) : std::nullopt;
    });
    QElapsedTimer sinceLine;
    QObject::connect(&rig.terminal, &SettingsTerminal::changed, [&] {
        if (!sinceLine.isValid() && rig.terminal.sendsOf("A=1") == 1)
            sinceLine.start();
    });
    const VendrixProcess::Exit exit = rig.run({"send-settings", path, "--port", "Com2", "--speed", "9600"}, 20000);
    EXPECT_EQ(exit.code, 1);
    EXPECT_TRUE(rig.said(TransferText::sendTimeout())) << rig.vendrix.outputText().toStdString();
    ASSERT_TRUE(sinceLine.isValid());
    EXPECT_GE(sinceLine.elapsed(), 9900);
    EXPECT_LT(sinceLine.elapsed(), 12000);
    EXPECT_EQ(rig.terminal.sendsOf("A=1"), 1);
}

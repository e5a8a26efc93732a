// libIrLib.so through the program's binding, on real pseudo-terminal pairs.
#include "PtyPair.h"
#include "TestSupport.h"
#include "TransportTestSupport.h"
#include "transport/IrLib.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

using namespace vx;
using namespace vx::test;

namespace {

struct IrLibFixture : ::testing::Test {
    PtyPair pty;
    ScopedEnv com{"VENDRIX_COM6", pty.pcEnd().toLocal8Bit()};

    void SetUp() override { ASSERT_TRUE(pty.isReady()) << qPrintable(pty.errorText()); }
    void TearDown() override { IrLib::CloseIrCom(); }
};

QStringList *capturedWarnings = nullptr;

void captureWarnings(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (capturedWarnings && type == QtWarningMsg)
        capturedWarnings->append(text);
}

} // namespace

TEST_F(IrLibFixture, OpensWritesAndReadsWithoutWaiting)
{
    ASSERT_GT(IrLib::vbOpenIrCom(6, 38400), 0);
    PeerEnd cradle(pty.terminalEnd());
    ASSERT_TRUE(cradle.isOpen());

    // Nothing has arrived: the read returns at once with nothing.
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(IrLib::vbReadIrCom().isEmpty());
    EXPECT_LT(clock.elapsed(), 500);

    // Every byte value but NUL goes out as given.
    QByteArray text = allByteValues().mid(1) + QByteArray("SETTINGS\r");
    IrLib::WriteIrCom(text);
    EXPECT_EQ(cradle.read(text.size()), text);

    // What arrives comes back in pieces of at most 250 bytes, NUL included.
    QByteArray incoming;
    for (int i = 0; i < 300; ++i)
        incoming.append(static_cast<char>(i % 256));
    ASSERT_TRUE(cradle.write(incoming));
    QByteArray got;
    int largest = 0;
    ASSERT_TRUE(waitUntil([&] {
        const QByteArray piece = IrLib::vbReadIrCom();
        largest = std::max(largest, int(piece.size()));
        got += piece;
        return got.size() >= incoming.size();
    }));
    EXPECT_EQ(got, incoming);
    EXPECT_LE(largest, 250);
    EXPECT_TRUE(IrLib::vbReadIrCom().isEmpty());

    IrLib::CloseIrCom();
    IrLib::CloseIrCom();
    EXPECT_TRUE(IrLib::vbReadIrCom().isEmpty());
    IrLib::WriteIrCom("after close"); // nothing open: nothing sent
    EXPECT_TRUE(cradle.read(1, 100).isEmpty());
}

TEST_F(IrLibFixture, OpeningAgainStartsAFreshLink)
{
    ASSERT_GT(IrLib::vbOpenIrCom(6, 9600), 0);
    PeerEnd cradle(pty.terminalEnd());
    ASSERT_TRUE(cradle.write("stale"));
    waitUntil([] { return false; }, 100);
    // Reopening closes the previous link first and drops what it held.
    ASSERT_GT(IrLib::vbOpenIrCom(6, 115200), 0);
    EXPECT_TRUE(IrLib::vbReadIrCom().isEmpty());
    ASSERT_TRUE(cradle.write("ACK\r"));
    QByteArray got;
    ASSERT_TRUE(waitUntil([&] {
        got += IrLib::vbReadIrCom();
        return got.size() >= 4;
    }));
    EXPECT_EQ(got, QByteArray("ACK\r"));
}

TEST_F(IrLibFixture, FailsToOpenWhatIsNotThere)
{
    {
        ScopedEnv missing("VENDRIX_COM7", "/nonexistent/vendrix-ir");
        EXPECT_EQ(IrLib::vbOpenIrCom(7, 38400), 0);
    }
    {
        // A file is not a serial line.
        TempHome home;
        writeFile(home.file(QStringLiteral("plain")), "x");
        ScopedEnv notATty("VENDRIX_COM7", home.file(QStringLiteral("plain")).toLocal8Bit());
        EXPECT_EQ(IrLib::vbOpenIrCom(7, 38400), 0);
    }
    EXPECT_EQ(IrLib::vbOpenIrCom(0, 38400), 0);
    EXPECT_EQ(IrLib::vbOpenIrCom(10, 38400), 0);
    EXPECT_EQ(IrLib::vbOpenIrCom(6, 12345), 0); // not a line speed
    EXPECT_EQ(IrLib::vbOpenIrCom(6, 0), 0);
    // A failed opening leaves no link behind.
    EXPECT_TRUE(IrLib::vbReadIrCom().isEmpty());
    EXPECT_GT(IrLib::vbOpenIrCom(6, 57600), 0);
}

TEST_F(IrLibFixture, FindsThePortInThePortsFileOfTheConfigFolder)
{
    TempHome home;
    ScopedEnv noVariable("VENDRIX_COM8", QByteArray());
    writeFile(home.file(QStringLiteral("ports.ini")),
              "Com1=/dev/null\n  COM8 =  " + pty.pcEnd().toLocal8Bit() + "  \r\n");
    ASSERT_GT(IrLib::vbOpenIrCom(8, 19200), 0);
    PeerEnd cradle(pty.terminalEnd());
    IrLib::WriteIrCom("Q");
    EXPECT_EQ(cradle.read(1), QByteArray("Q"));

    IrLib::CloseIrCom();

    // The variable comes before the file.
    writeFile(home.file(QStringLiteral("ports.ini")), "Com8=/nonexistent/vendrix-ir\n");
    EXPECT_EQ(IrLib::vbOpenIrCom(8, 19200), 0);
    ScopedEnv variable("VENDRIX_COM8", pty.pcEnd().toLocal8Bit());
    EXPECT_GT(IrLib::vbOpenIrCom(8, 19200), 0);
}

TEST(IrLibMissing, EveryCallIsALinkThatIsNotOpenAndTheLogSaysWhyOnce)
{
    QStringList warnings;
    capturedWarnings = &warnings;
    const QtMessageHandler previous = qInstallMessageHandler(captureWarnings);
    IrLib::setLibraryPath(QStringLiteral("/nonexistent/libIrLib.so"));

    for (int round = 0; round < 2; ++round) {
        IrLib::CloseIrCom();
        EXPECT_EQ(IrLib::vbOpenIrCom(1, 38400), 0);
        IrLib::WriteIrCom("SETTINGS\r");
        EXPECT_TRUE(IrLib::vbReadIrCom().isEmpty());
    }

    qInstallMessageHandler(previous);
    capturedWarnings = nullptr;
    IrLib::setLibraryPath(programDir() + QStringLiteral("/libIrLib.so"));
    ASSERT_EQ(warnings.size(), 1) << qPrintable(warnings.join(QLatin1Char('\n')));
    EXPECT_TRUE(warnings.first().contains(QStringLiteral("/nonexistent/libIrLib.so")));
}

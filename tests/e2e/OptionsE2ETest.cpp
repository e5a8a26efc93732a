// The collector program with its window, run in this process as main() runs
// it (real settings file, real TCP sockets, the real wait windows and
// dialogs), on the offscreen platform: a user moves a TCP channel to another
// terminal through the options dialog, and that terminal's records are
// stored.
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "WidgetDriver.h"
#include "app/CollectorMain.h"
#include "tools/simterm/SimTerminal.h"
#include "ui/collector/frmMain.h"
#include "ui/options/frmOptions.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

using namespace vx;
using namespace vx::test;
using namespace vx::sim;

namespace {

frmMain *mainWindow()
{
    return ui::visible<frmMain>().value(0);
}

} // namespace

TEST(OptionsE2E, OkMovesATcpChannelToAnotherTerminalWhoseRecordsAreStored)
{
    TempHome home;
    SimTerminal before;
    SimTerminal after;
    ASSERT_TRUE(before.listenTcp());
    ASSERT_TRUE(after.listenTcp());
    ASSERT_TRUE(VendrixProcess::WriteIni(
        home.file("Vendrix.ini"),
        VendrixProcess::Merged(VendrixProcess::TcpChannel(1, before.tcpPort(), home.file("ch1.txt")),
                               {{"Misc", {{"ProfileMode", "0"}}}})));

    CollectorApp app;
    app.collector->setProgramDir(programDir());

    // What the user does once the window is up, step by step, checked every
    // 50 ms while the program runs (also inside its dialogs and wait windows).
    enum Step { WaitForWindow, SendingBefore, OpenOptions, InDialog, WaitForMove, Sending, Done };
    Step step = WaitForWindow;
    bool dialogSeen = false;
    SimTerminal::TransferResult sent;
    QElapsedTimer clock;
    clock.start();
    QTimer driver;
    driver.setInterval(50);
    QObject::connect(&driver, &QTimer::timeout, [&] {
        if (clock.elapsed() > 60000) {
            ADD_FAILURE() << "stopped at step " << step;
            driver.stop();
            QCoreApplication::exit(1);
            return;
        }
        switch (step) {
        case WaitForWindow:
            if (mainWindow() && before.isConnected() && QApplication::activeModalWidget() == nullptr) {
                step = SendingBefore;
                before.startTransfer({"before1"});
            }
            break;
        case SendingBefore:
            if (!before.isSending())
                step = OpenOptions;
            break;
        case OpenOptions:
            if (frmMain *window = mainWindow()) {
                step = InDialog;
                // The click opens the modal dialog; it runs on its own turn
                // of the event loop so this tick ends.
                QTimer::singleShot(0, window, [window] { ui::click(window->Pulsanti[0]); });
            }
            break;
        case InDialog:
            if (auto *options = qobject_cast<frmOptions *>(QApplication::activeModalWidget())) {
                dialogSeen = true;
                step = WaitForMove;
                QTimer::singleShot(0, options, [options, &after] {
                    ui::chooseTab(options->tabChannels, 0);
                    ui::type(options->IP[1][4], QString::number(after.tcpPort()));
                    ui::click(options->cmdOK);
                });
            }
            break;
        case WaitForMove:
            if (after.isConnected() && QApplication::activeModalWidget() == nullptr) {
                step = Sending;
                after.startTransfer({"moved1", "moved2"});
            }
            break;
        case Sending:
            if (!after.isSending()) {
                sent = after.lastTransfer();
                step = Done;
                driver.stop();
                QCoreApplication::exit(0);
            }
            break;
        case Done:
            break;
        }
    });
    driver.start();

    const int rc = RunCollectorWindow(app);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(dialogSeen);
    ASSERT_EQ(step, Done);
    EXPECT_TRUE(sent.complete);
    EXPECT_EQ(sent.acked, 4); // BOF, two records, EOF
    EXPECT_TRUE(before.lastTransfer().complete);
    EXPECT_EQ(readFile(home.file("ch1.txt")), QByteArray("before1\r\nmoved1\r\nmoved2\r\n"));
    EXPECT_EQ(app.settings.Com[1].IP5, QString::number(after.tcpPort()));
    const QByteArray ini = readFile(home.file("Vendrix.ini"));
    EXPECT_TRUE(ini.contains("IP5=" + QByteArray::number(after.tcpPort()))) << ini.constData();
    // The first terminal was let go when the channel moved.
    EXPECT_TRUE(before.waitFor([&] { return !before.isConnected(); }, 3000));
    EXPECT_EQ(after.connectionCount(), 1);
}

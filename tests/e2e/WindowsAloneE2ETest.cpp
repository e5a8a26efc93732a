// The profile editor and the options dialog on their own, beside a running
// headless collector on the same data folder: the editor starts (it takes
// no collector lock), and the options dialog's OK makes the collector read
// its settings again; a lock nobody holds any more is never signalled.
#include "RunningCollector.h"
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "WidgetDriver.h"
#include "ui/StandaloneWindows.h"
#include "ui/options/frmOptions.h"

#include <QMessageBox>
#include <QTest>
#include <gtest/gtest.h>

using namespace vx;
using namespace vx::test;

namespace {

// Runs the options dialog alone, pressing OK; the text of the message shown
// afterwards, if any.
QString optionsOk()
{
    QString told;
    ui::whenModal<frmOptions>([&told](frmOptions *d) {
        ui::whenModal<QMessageBox>([&told](QMessageBox *box) {
            told = box->text();
            box->accept();
        });
        ui::click(d->cmdOK);
    });
    EXPECT_EQ(RunOptionsAlone(), 0);
    QTest::qWait(600); // a message box would have been answered by now
    return told;
}

} // namespace

TEST(WindowsAloneE2E, BesideARunningCollector)
{
    TempHome home;
    RunningCollector collector(home.path(), home.file("ch1.txt"),
                               {{"Misc", {{"ProfileMode", "1"}, {"Password", "x"}}}});
    ASSERT_TRUE(collector.ready) << collector.output();

    // The editor starts and stays up: no lock stops it.
    VendrixProcess editor(home.path());
    editor.setArguments({"profile", "edit", home.file("Shop.VDX")});
    ASSERT_TRUE(editor.start());
    QTest::qWait(2000);
    EXPECT_TRUE(editor.isRunning()) << editor.outputText().toStdString();
    EXPECT_TRUE(collector.vendrix.isRunning());
    editor.terminate();

    // OK tells the collector to read the settings again, and says so.
    const QString told = optionsOk();
    EXPECT_TRUE(told.contains(QStringLiteral("(PID %1)").arg(collector.vendrix.pid()))) << told.toStdString();
    EXPECT_TRUE(collector.vendrix.waitForOutput(QStringLiteral("SIGHUP: reading"), 10000)) << collector.output();
    EXPECT_TRUE(collector.vendrix.waitForOutput(QStringLiteral("Settings reloaded"), 10000)) << collector.output();

    // The collector ends; its id stays in the lock file, but nobody holds
    // the lock: nothing is signalled and nothing is said.
    const VendrixProcess::Exit exit = collector.vendrix.terminate();
    EXPECT_TRUE(exit.ended && !exit.crashed);
    EXPECT_FALSE(readFile(home.file("Vendrix.lock")).trimmed().isEmpty());
    EXPECT_EQ(optionsOk(), QString());
}

// The profile editor and the options dialog on their own, beside a running
// headless collector on the same data folder: the editor starts (it takes
// no collector lock) with a File menu, and the options dialog's OK makes the
// collector read its settings again; a lock nobody holds any more is never
// signalled.
#include "RunningCollector.h"
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "WidgetDriver.h"
#include "ui/StandaloneWindows.h"
#include "ui/options/frmOptions.h"
#include "ui/profile/frmProfile.h"

#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
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

// The editor on its own has the File menu of every editor: Save on Ctrl+S
// writes the file (changed or not), Save As is Ctrl+Shift+S, and Close asks
// before it drops an edit. (First: the options dialog's test below leaves a
// watch for a message box running for a while.)
TEST(WindowsAloneE2E, TheEditorAloneHasAFileMenu)
{
    TempHome home;
    const QString file = home.file("Shop.VDX");
    QStringList menus;
    QStringList items;
    QString asked;
    ui::whenModal<frmProfile>([&](frmProfile *editor) {
        for (QAction *menu : editor->menuBar->actions())
            menus << menu->text();
        for (QAction *a : editor->mnuFile->actions())
            items << (a->isSeparator() ? QStringLiteral("-")
                                       : a->text() + " " + a->shortcut().toString(QKeySequence::PortableText));
        editor->activateWindow();
        (void)QTest::qWaitForWindowActive(editor); // a picture only; the test holds without it
        // With VENDRIX_SCREENSHOT_DIR set, a picture of the open File menu.
        const QString dir = qEnvironmentVariable("VENDRIX_SCREENSHOT_DIR");
        if (!dir.isEmpty()) {
            editor->move(0, 0);
            editor->mnuFile->popup(editor->menuBar->mapToGlobal(
                editor->menuBar->actionGeometry(editor->mnuFile->menuAction()).bottomLeft()));
            QTest::qWait(300);
            editor->screen()->grabWindow(0).save(dir + "/profile-edit-file-menu.png");
            editor->mnuFile->hide();
        }
        QTest::keyClick(editor, Qt::Key_S, Qt::ControlModifier);
        EXPECT_TRUE(QFile::exists(file)); // written though nothing changed
        ui::reveal(editor->txtFunctionName);
        editor->txtFunctionName->setFocus();
        QTest::keyClicks(editor->txtFunctionName, "X");
        ui::whenModal<QMessageBox>([&](QMessageBox *box) {
            asked = box->text();
            if (!dir.isEmpty()) {
                QTest::qWait(300);
                box->screen()->grabWindow(0).save(dir + "/profile-edit-close-question.png");
            }
            box->button(QMessageBox::No)->click();
        });
        editor->mnuClose->trigger();
    });
    EXPECT_EQ(RunProfileEditorAlone(file), 0);
    EXPECT_EQ(menus, QStringList({"&File", "Settings"}));
    EXPECT_EQ(items, QStringList({"Save Ctrl+S", "Save As Ctrl+Shift+S", "-", "Close Ctrl+W"}));
    EXPECT_EQ(asked, "The profile has changes that are not saved.\nSave them?");
    EXPECT_TRUE(readFile(file).contains("Function 1\r\n")) << readFile(file).toStdString(); // the edit dropped
}

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

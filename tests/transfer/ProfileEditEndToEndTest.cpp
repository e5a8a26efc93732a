// A profile edited through the communication, barcode and look-up link
// windows, saved, opened again, exported as C source and sent to the
// simulated terminal over a pseudo-terminal: every step carries the same
// items.
#include "PtyPair.h"
#include "SettingsTerminal.h"
#include "TestSupport.h"
#include "WidgetDriver.h"
#include "platform/Messenger.h"
#include "profiles/ProfileFile.h"
#include "transfer/TransferMessages.h"
#include "ui/profile/ExtFileLinkWindows.h"
#include "ui/profile/frmBCTable.h"
#include "ui/profile/frmProfileComm.h"
#include "ui/transfer/frmSettingsSend.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <functional>
#include <gtest/gtest.h>

using namespace vx;
using vx::test::SettingsTerminal;

namespace {

using test::ui::chooseIndex;
using test::ui::click;

void doubleClickItem(QListWidget *list, const QString &text)
{
    const QList<QListWidgetItem *> found = list->findItems(text, Qt::MatchExactly);
    ASSERT_FALSE(found.isEmpty()) << text.toStdString();
    list->scrollToItem(found.first());
    const QPoint at = list->visualItemRect(found.first()).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

template <typename Window>
void edit(ProfileWorkspace &ws, const std::function<void(Window &)> &steps)
{
    Window window(ws);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    steps(window);
    click(window.Command1);
    EXPECT_FALSE(window.isVisible());
}

// The items of a C source export, in order (these items need no escapes).
QList<QByteArray> exportedItems(const QByteArray &source)
{
    QList<QByteArray> items;
    for (QByteArray line : source.split('\n')) {
        line = line.trimmed();
        if (line.startsWith('"') && line.endsWith("\","))
            items << line.mid(1, line.size() - 3);
    }
    return items;
}

} // namespace

TEST(ProfileEditEndToEnd, EditedSavedOpenedExportedAndSent)
{
    test::TempHome home;
    test::PtyPair pair;
    if (!pair.isReady())
        GTEST_SKIP() << "no pseudo-terminal pair: " << pair.errorText().toStdString();
    qputenv("VENDRIX_COM5", pair.pcEnd().toLocal8Bit());
    SettingsTerminal terminal;
    ASSERT_TRUE(terminal.openSerial(pair.terminalEnd())) << terminal.errorText().toStdString();

    // What the profile editor itself sets: the function, a disabled field,
    // the linked look-up file and its key positions.
    ProfileWorkspace ws;
    ws.CurrentFunction = 1;
    ProfileFunction &f = ws.Profile.Functions[1];
    f.Name = QStringLiteral("Inventario");
    f.Fields[0].Name = QStringLiteral("Articolo");
    f.Fields[1].Name = QStringLiteral("Quantita");
    f.Fields[2].Enabled = 0;
    f.ExtLink.FileNumber = 3;
    ws.Profile.ExtFileLayouts[2].KeyFrom[0] = QStringLiteral("0");
    ws.Profile.ExtFileLayouts[2].KeyTo[0] = QStringLiteral("12");

    edit<frmProfileComm>(ws, [](frmProfileComm &w) {
        click(w.TipoTermi[0]); // 711
        QTest::mouseClick(w.SSTab1->tabBar(), Qt::LeftButton, {}, w.SSTab1->tabBar()->tabRect(3).center());
        chooseIndex(w.CmbSpeed[3], 3); // 38400
        chooseIndex(w.cmbParity[3], 1);
        chooseIndex(w.CmbFlowControl[3], 2);
        click(w.chkImmediateTX);
        test::ui::type(w.txtRecordDelay, QStringLiteral("15"));
        test::ui::type(w.txtRecordBlock, QStringLiteral("3"));
        click(w.optBloksWaitTime);
        test::ui::type(w.txtBloksWaitTimemsecs, QStringLiteral("500"));
        chooseIndex(w.cmbBloksTerminator, 2);
        test::ui::type(w.txtSeparatorFieldAscii, QStringLiteral("59"));
        test::ui::type(w.txtSeparatorDecimalChar, QStringLiteral(","));
        for (const char *item : {"01 Date", "08 Articolo", "09 Quantita", "16 Constant 1", "26 Check Digit"})
            doubleClickItem(w.lstRecordStructure[0], QString::fromLatin1(item));
    });
    ws.CurrentBarcodeField = 1;
    edit<frmBCTable>(ws, [](frmBCTable &w) {
        click(w.chkBarCode[0]);  // Code 39 off
        click(w.chkBarCode[24]); // ISSN Conversion on
    });
    edit<frmExtFileJoinKey>(ws, [](frmExtFileJoinKey &w) { chooseIndex(w.cmbFileJoinKey[0], 1); });
    edit<frmExtFileFieldsToShow>(ws, [](frmExtFileFieldsToShow &w) { click(w.chkFieldToShow[1]); });
    edit<frmExtFileFiledsToRetrieve>(ws, [](frmExtFileFiledsToRetrieve &w) { chooseIndex(w.cmbRetrieveInto[0], 3); });
    edit<frmExtFileFieldsToUpdate>(ws, [](frmExtFileFieldsToUpdate &w) {
        click(w.chkUpdateyesNo[0]);
        QTest::keyClick(w.sldOperator[0], Qt::Key_Right); // "x"
        chooseIndex(w.cmbFieldOperand[0], 2);
        test::ui::type(w.txtFieldVal[1], QStringLiteral("100"));
    });

    // Save, as "Save As" does, and look at the lines the windows produced.
    ScriptedMessenger messenger;
    const QString path = home.file("Inventario.VDX");
    ASSERT_TRUE(SaveProfileFile(ws.Profile, path, messenger));
    const QList<QByteArray> lines = ProfileLines(ws.Profile);
    for (const char *expected : {"MISC.TERMTYPE=7xxx",
                                 "PROFILE1.COM.COMPORT=2",
                                 "PROFILE1.COM.COMTYPE=3",
                                 "PROFILE1.COM.COMPORTSETTINGS.BAUD=3",
                                 "PROFILE1.COM.COMPORTSETTINGS.PARITY=48",
                                 "PROFILE1.COM.COMPORTSETTINGS.HANDSHAKE=192",
                                 "PROFILE1.COM.TXIMMEDIATE=1",
                                 "PROFILE1.COM.RECDELAY=15",
                                 "PROFILE1.COM.RECBLOCK=3",
                                 "PROFILE1.COM.BLOCKWAIT=500",
                                 "PROFILE1.COM.BLOCKTERM=1",
                                 "PROFILE1.COM.RECFSEPARATOR=59",
                                 "PROFILE1.COM.RECDSEPARATOR=44",
                                 "PROFILE1.COM.RECSTRUCT0=00",
                                 "PROFILE1.COM.RECSTRUCT1=07",
                                 "PROFILE1.COM.RECSTRUCT2=08",
                                 "PROFILE1.COM.RECSTRUCT3=15",
                                 "PROFILE1.COM.RECSTRUCT4=25",
                                 "PROFILE1.COM.RECSTRUCT5=-1",
                                 "PROFILE1.FIELD1.BARCODE0=59",
                                 "PROFILE1.FIELD1.BARCODE10=125",
                                 "PROFILE1.EXTFILE.KEY0=0",
                                 "PROFILE1.EXTFILE.QUERY.DSPFIELD1=1",
                                 "PROFILE1.EXTFILE.RETR.USRFIELD0=2",
                                 "PROFILE1.EXTFILE.UPD.ACTIVEFIELD0=1",
                                 "PROFILE1.EXTFILE.UPD.OP0=*",
                                 "PROFILE1.EXTFILE.UPD.UPDFIELD0=1",
                                 "PROFILE1.EXTFILE.UPD.VAL1=100"})
        EXPECT_TRUE(lines.contains(QByteArray(expected))) << expected;

    // Open it again (New, then read): the same profile.
    ProfileSet back;
    ASSERT_TRUE(ReadProfileFile(path, back, messenger));
    EXPECT_TRUE(messenger.shown.empty());
    EXPECT_EQ(ProfileLines(back), lines);
    const FunctionCommSettings &c = back.Functions[1].Comm;
    EXPECT_EQ(back.TerminalFamily, QStringLiteral("711"));
    EXPECT_EQ(c.Port, 4);
    EXPECT_EQ(c.Speed, 3);
    EXPECT_EQ(c.BlockWaitTime, -1);
    EXPECT_EQ(c.BlockWaitMs, 500);
    EXPECT_EQ(c.BlockTerminator, 2);
    EXPECT_EQ(c.FieldSeparatorCode, 59);
    EXPECT_EQ(c.DecimalSeparatorCode, 44);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(c.RecordStructure[i], QStringList({"01", "08", "09", "16", "26", ""}).at(i)) << i;
    EXPECT_EQ(back.Functions[1].Fields[1].Barcode, ws.Profile.Functions[1].Fields[1].Barcode);
    EXPECT_EQ(back.Functions[1].ExtLink, ws.Profile.Functions[1].ExtLink);

    // Export it as C source: the same items.
    const QString source = home.file("settings.c");
    ASSERT_TRUE(SaveProfileFile(back, source, messenger));
    EXPECT_EQ(exportedItems(test::readFile(source)), lines);

    // Send the saved file to the terminal: it receives the same items.
    frmSettingsSend sender(path, nullptr, nullptr, nullptr, &messenger);
    sender.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&sender));
    chooseIndex(sender.cmbCommPort, 4); // Com5
    click(sender.Start);
    EXPECT_TRUE(sender.isRunning());
    ASSERT_TRUE(test::waitUntil([&] { return !messenger.shown.empty(); }, 100000));
    EXPECT_EQ(messenger.texts(), QStringList({TransferText::sendSuccess()}));
    EXPECT_TRUE(terminal.crcAgreed());
    EXPECT_EQ(terminal.items(), lines);
    qunsetenv("VENDRIX_COM5");
}

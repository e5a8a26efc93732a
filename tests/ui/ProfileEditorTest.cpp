// The profile editor and the profile copy on the offscreen platform, driven
// by clicks and keys as a person would; then the editor's round trip through
// a file and its "Send TO term" to a simulated terminal on a pseudo-terminal.
#include "PtyPair.h"
#include "SettingsTerminal.h"
#include "TestSupport.h"
#include "WidgetDriver.h"
#include "platform/Messenger.h"
#include "profiles/ProfileEditorState.h"
#include "profiles/ProfileFile.h"
#include "transfer/TransferMessages.h"
#include "ui/QtMessenger.h"
#include "ui/profile/frmCopyProfile.h"
#include "ui/profile/frmProfile.h"
#include "ui/profile/frmProfileComm.h"
#include "ui/transfer/frmSettingsSend.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>
#include <QStackedWidget>
#include <QStyleOptionButton>
#include <QStyleOptionSlider>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

using namespace vx;

namespace {

using test::ui::reveal;

// The editor's controls sit on tab pages: each action brings its page to
// the front first, as a person would.
void click(QAbstractButton *b)
{
    reveal(b);
    test::ui::click(b);
}

// Selects everything in a box and types over it.
void retype(QLineEdit *box, const QString &text)
{
    reveal(box);
    box->setFocus();
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    text.isEmpty() ? QTest::keyClick(box, Qt::Key_Delete) : QTest::keyClicks(box, text);
}

void typeAtEnd(QLineEdit *box, const QString &text)
{
    reveal(box);
    test::ui::typeAtEnd(box, text);
}

// The box loses the focus (the user moves to another control).
void leave(QWidget *box)
{
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(box, &out);
}

void choose(QComboBox *box, int index)
{
    reveal(box);
    test::ui::chooseIndex(box, index);
    ASSERT_EQ(box->currentIndex(), index);
}

// The sections of one function in a profile file, with its index taken out.
QList<QByteArray> functionLines(const QByteArray &file, int n)
{
    const QByteArray prefix = "PROFILE" + QByteArray::number(n) + ".";
    QList<QByteArray> out;
    for (const QByteArray &line : file.split('\n')) {
        if (line.startsWith(prefix))
            out << line.mid(prefix.size());
    }
    return out;
}

} // namespace

class ProfileEditorTest : public ::testing::Test {
protected:
    ProfileEditorTest() : window(ws, messenger) { window.show(); }

    ProfileField &field(int i) { return ws.Profile.Functions[size_t(ws.CurrentFunction)].Fields[size_t(i)]; }
    frmProfile::FieldRow &row(int i) { return window.fields[size_t(i)]; }
    QString lastMessage() const { return messenger.shown.empty() ? QString() : messenger.shown.back().text; }

    test::TempHome home;
    ScriptedMessenger messenger;
    ProfileWorkspace ws;
    frmProfile window;
};

TEST_F(ProfileEditorTest, OpensOnNewWithTheLayoutAndFitsTheScreen)
{
    EXPECT_EQ(window.windowTitle(), "Profile : Untitled*");
    QStringList tabs;
    for (int t = 0; t < window.tabProfile->count(); ++t)
        tabs << window.tabProfile->tabText(t);
    EXPECT_EQ(tabs, QStringList({"Common", "External Files", "Functions", "Modem", "Printer", "Advanced Logic"}));
    QStringList inner;
    for (int t = 0; t < window.tabFunction->count(); ++t)
        inner << window.tabFunction->tabText(t);
    EXPECT_EQ(inner, QStringList({"MLKS", "Dual Manage", "Defaults", "Input/BC", "Align", "Ext. File"}));
    QStringList menu;
    for (QAction *a : window.mnuSettings->actions())
        menu << (a->isSeparator() ? QStringLiteral("-") : a->text());
    EXPECT_EQ(menu, QStringList({"New", "Open", "Save", "Save As", "-", "Copy Profile", "-", "Send TO term",
                                 "Receive FROM term"}));
    EXPECT_TRUE(window.optFunction[0]->isChecked());
    EXPECT_TRUE(window.optTerminal[1]->isChecked()); // "8000"
    EXPECT_TRUE(window.optAsString->isChecked());
    EXPECT_EQ(window.txtConstant[0]->maxLength(), 1);
    EXPECT_EQ(row(3).txtName->text(), "Field 4");
    EXPECT_EQ(row(3).lblMaskLen->text(), "(10)");
    EXPECT_TRUE(row(0).chkKey->isChecked());
    EXPECT_FALSE(row(1).chkKey->isChecked());
    EXPECT_EQ(window.txtFunctionName->text(), "Function 1");
    EXPECT_EQ(window.txtModem[3]->text(), "ATDT");
    EXPECT_EQ(window.txtModem[4]->text(), "60000");
    EXPECT_FALSE(window.fraModemConfig->isEnabled());
    EXPECT_FALSE(window.tabComAuto->isEnabled());
    // The whole window, frame included, fits a 1366 x 768 screen.
    EXPECT_LE(window.minimumSizeHint().width(), 1366);
    EXPECT_LE(window.minimumSizeHint().height(), 700);
    EXPECT_LE(window.width(), 1366);
    EXPECT_LE(window.height(), 720);
    EXPECT_EQ(ProfileSet(), ws.Profile);
}

// The field rules: each refused click puts the box back and says why; each
// accepted one writes the model.
TEST_F(ProfileEditorTest, FieldRulesRefuseOnTheSpot)
{
    // Only field 0 (the key) left enabled: it cannot be cleared.
    for (int i = 1; i < 8; ++i)
        click(row(i).chkEnabled);
    click(row(0).chkEnabled);
    EXPECT_EQ(lastMessage(), "At least one field has to be enabled");
    EXPECT_TRUE(row(0).chkEnabled->isChecked());
    EXPECT_EQ(field(0).Enabled, 1);
    // With field 1 back, field 0 is still the only key.
    click(row(1).chkEnabled);
    click(row(0).chkEnabled);
    EXPECT_EQ(lastMessage(), "This is the only Key defined.\nAt least one Key as to be defined.");
    EXPECT_TRUE(row(0).chkEnabled->isChecked());
    // Field 1 was re-enabled with its input types intact.
    EXPECT_EQ(field(1).Enabled, 1);

    // Keys: four at most among enabled fields; a disabled field's key does
    // not count.
    for (int i = 2; i < 5; ++i)
        click(row(i).chkEnabled);
    messenger.clear();
    for (int i = 1; i < 4; ++i)
        click(row(i).chkKey);
    EXPECT_TRUE(messenger.shown.empty());
    click(row(4).chkKey);
    EXPECT_EQ(lastMessage(), "No more room for key field (Max=4)");
    EXPECT_FALSE(row(4).chkKey->isChecked());
    EXPECT_EQ(field(4).IsKey, 0);
    click(row(5).chkKey); // field 5 is disabled: its key does not count
    EXPECT_EQ(field(5).IsKey, 1);
    click(row(3).chkEnabled); // field 3 leaves the count: room for field 4
    click(row(4).chkKey);
    EXPECT_EQ(field(4).IsKey, 1);
    EXPECT_EQ(messenger.shown.size(), 1u);
    // Enabling a key field when four enabled keys exist would make a fifth
    // that the file leaves out: refused.
    click(row(5).chkEnabled);
    EXPECT_EQ(lastMessage(), "No more room for key field (Max=4)");
    EXPECT_FALSE(row(5).chkEnabled->isChecked());
    EXPECT_EQ(field(5).Enabled, 0);
    click(row(6).chkEnabled); // not a key: fine
    EXPECT_EQ(field(6).Enabled, 1);
    EXPECT_EQ(messenger.shown.size(), 2u);

    // Sums: four at most.
    for (int i = 0; i < 4; ++i)
        click(row(i).chkSum);
    click(row(4).chkSum);
    EXPECT_EQ(lastMessage(), "No more room for Sum field (Max=4)");
    EXPECT_EQ(field(4).IsSum, 0);
}

TEST_F(ProfileEditorTest, KeysCannotAllBeCleared)
{
    click(row(0).chkKey);
    EXPECT_EQ(lastMessage(), "At least one field has to be defined KEY");
    EXPECT_TRUE(row(0).chkKey->isChecked());
    EXPECT_EQ(field(0).IsKey, 1);
}

TEST_F(ProfileEditorTest, InputTypesKeepOneAndAutoCRFollowsReader)
{
    // Field 2: keyboard off, then the reader (the last input type) refused.
    click(row(2).chkKeyboard);
    EXPECT_TRUE(messenger.shown.empty());
    click(row(2).chkReader);
    EXPECT_EQ(lastMessage(), "On Enabled Field at least one input tipe (keyboard or reader)\nhas to be available");
    EXPECT_TRUE(row(2).chkReader->isChecked());
    EXPECT_EQ(field(2).InputReader, 1);
    EXPECT_EQ(field(2).InputReaderAutoCR, 1);

    // Field 3: clearing the reader clears AutoCR; ticking AutoCR ticks it.
    click(row(3).chkReader);
    EXPECT_FALSE(row(3).chkAutoCR->isChecked());
    EXPECT_EQ(field(3).InputReader, 0);
    EXPECT_EQ(field(3).InputReaderAutoCR, 0);
    click(row(3).chkAutoCR);
    EXPECT_TRUE(row(3).chkReader->isChecked());
    EXPECT_EQ(field(3).InputReader, 1);

    // A disabled field may lose both; enabling it brings all three back.
    click(row(4).chkEnabled);
    click(row(4).chkKeyboard);
    click(row(4).chkReader);
    EXPECT_EQ(field(4).InputKeyboard + field(4).InputReader, 0);
    click(row(4).chkEnabled);
    EXPECT_TRUE(row(4).chkKeyboard->isChecked() && row(4).chkReader->isChecked() && row(4).chkAutoCR->isChecked());
    EXPECT_EQ(messenger.shown.size(), 1u);
}

// Only the user's choice of "8000" cuts names, and only those shown (the
// current function's); a name read from a file or kept in another function
// stays whole, and no box cuts a name it merely shows.
TEST_F(ProfileEditorTest, FamilyEightThousandCutsOnlyTheNamesShownWhenChosen)
{
    click(window.optTerminal[0]); // "711": 20 characters
    EXPECT_EQ(ws.Profile.TerminalFamily, "711");
    retype(row(0).txtName, "ABCDEFGHIJKLMNOPQRSTUV");
    EXPECT_EQ(field(0).Name, "ABCDEFGHIJKLMNOPQRST"); // the 21st key does nothing
    ws.Profile.Functions[3].Fields[7].Name = QStringLiteral("Twenty characters ok");

    click(window.optTerminal[1]); // "8000": 16
    EXPECT_EQ(ws.Profile.TerminalFamily, "8000");
    EXPECT_EQ(field(0).Name, "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(row(0).txtName->text(), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(ws.Profile.Functions[3].Fields[7].Name, "Twenty characters ok");
    typeAtEnd(row(0).txtName, "XYZ"); // the box is full
    EXPECT_EQ(field(0).Name, "ABCDEFGHIJKLMNOP");
    click(window.optTerminal[2]); // "8300" allows 20 again, keeps the cut names
    EXPECT_EQ(field(0).Name, "ABCDEFGHIJKLMNOP");
    typeAtEnd(row(0).txtName, "XYZ");
    EXPECT_EQ(field(0).Name, "ABCDEFGHIJKLMNOPXYZ");

    // A profile of family 8300 reads back as "8000": its 20-character names
    // are shown whole, a shown function's name can be shortened, not grown,
    // and a sub-editor that leaves the family alone cuts nothing.
    const QString file = home.file("Wide.VDX");
    test::writeFile(file,
                    "MISC.TERMTYPE=8xxx\r\nPROFILE0.FIELD2.DESC=Twenty characters ok\r\n"
                    "PROFILE4.FIELD0.DESC=Another twenty chars\r\nFLAG=17\r\n");
    messenger.fileAnswers = {file};
    window.mnuOpen->trigger();
    EXPECT_EQ(ws.Profile.TerminalFamily, "8000");
    EXPECT_EQ(row(2).txtName->text(), "Twenty characters ok");
    typeAtEnd(row(2).txtName, "!");
    EXPECT_EQ(field(2).Name, "Twenty characters ok");
    reveal(row(2).txtName);
    QTest::keyClick(row(2).txtName, Qt::Key_Backspace);
    EXPECT_EQ(field(2).Name, "Twenty characters o");
    test::ui::whenModal<frmProfileComm>([](frmProfileComm *d) { test::ui::click(d->Command1); });
    click(window.cmdCommSettings);
    EXPECT_EQ(ws.Profile.Functions[4].Fields[0].Name, "Another twenty chars");
    EXPECT_EQ(field(2).Name, "Twenty characters o");
}

TEST_F(ProfileEditorTest, MasksTakeOnlyTheirCharactersAndCutTheDefault)
{
    // "A" does nothing; "9" is appended and counted.
    typeAtEnd(row(1).txtMask, "A");
    EXPECT_EQ(row(1).txtMask->text(), "**********");
    EXPECT_EQ(row(1).lblMaskLen->text(), "(10)");
    typeAtEnd(row(1).txtMask, "9");
    EXPECT_EQ(row(1).txtMask->text(), "**********9");
    EXPECT_EQ(row(1).lblMaskLen->text(), "(11)");
    EXPECT_EQ(field(1).Mask, "**********9");

    // A ten-character default, then the mask shortened to five.
    retype(row(0).txtDefault, "ABCDEFGHIJKL"); // the box stops at the mask's ten
    EXPECT_EQ(field(0).DefaultValue, "ABCDEFGHIJ");
    reveal(row(0).txtMask);
    QTest::keyClick(row(0).txtMask, Qt::Key_End);
    for (int k = 0; k < 5; ++k)
        QTest::keyClick(row(0).txtMask, Qt::Key_Backspace);
    EXPECT_EQ(row(0).lblMaskLen->text(), "(5)");
    EXPECT_EQ(field(0).Mask, "*****");
    EXPECT_EQ(field(0).DefaultValue, "ABCDE");
    EXPECT_EQ(row(0).txtDefault->text(), "ABCDE");
    typeAtEnd(row(0).txtDefault, "F"); // as long as the mask: the key does nothing
    EXPECT_EQ(field(0).DefaultValue, "ABCDE");
    EXPECT_TRUE(messenger.shown.empty());

    // A blank mask is repaired when the box is left.
    retype(row(0).txtMask, "");
    EXPECT_EQ(field(0).DefaultValue, "");
    leave(row(0).txtMask);
    EXPECT_EQ(lastMessage(), "Null masks not allowed");
    EXPECT_EQ(field(0).Mask, "**********");
    EXPECT_EQ(row(0).txtMask->text(), "**********");
    EXPECT_EQ(row(0).lblMaskLen->text(), "(10)");
}

TEST_F(ProfileEditorTest, BlankNamesAreRepairedAndCommasRefused)
{
    const struct {
        QLineEdit *box;
        QString repaired;
        QString message;
        std::function<QString()> model;
    } cases[] = {
        {row(2).txtName, "Field Name 2", "Null name field not allowed", [this] { return field(2).Name; }},
        {window.txtFunctionName, "Function 1", "Null Function name not allowed",
         [this] { return ws.Profile.Functions[0].Name; }},
    };
    for (const auto &c : cases) {
        messenger.clear();
        retype(c.box, "  ");
        leave(c.box);
        EXPECT_EQ(lastMessage(), c.message);
        EXPECT_EQ(c.model(), c.repaired);
        EXPECT_EQ(c.box->text(), c.repaired);
    }
    retype(window.txtFunctionName, "  Vendite");
    EXPECT_EQ(ws.Profile.Functions[0].Name, "Vendite");

    // A comma never gets into a value the terminal receives.
    click(window.chkModem);
    const struct {
        QLineEdit *box;
        std::function<QString()> model;
    } commas[] = {
        {row(1).txtName, [this] { return field(1).Name; }},
        {window.txtFunctionName, [this] { return ws.Profile.Functions[0].Name; }},
        {row(1).txtDefault, [this] { return field(1).DefaultValue; }},
        {window.txtTerminalId, [this] { return ws.Profile.TerminalOptions.TerminalIdValue; }},
        {window.txtModem[2], [this] { return ws.Profile.Functions[0].Modem.InitString; }},
    };
    for (const auto &c : commas) {
        messenger.clear();
        const QString before = c.model();
        typeAtEnd(c.box, "x,");
        EXPECT_EQ(lastMessage(), ProfileEditorState::CommaRefusedText()) << c.box->objectName().toStdString();
        EXPECT_EQ(c.model(), before + "x");
        EXPECT_EQ(c.box->text(), before + "x");
    }
}

TEST_F(ProfileEditorTest, SumUpOnNotConsecutiveLocksConsecutive)
{
    reveal(window.sldDualNotConsecutive);
    QTest::keyClick(window.sldDualConsecutive, Qt::Key_Home); // "Ignore"
    EXPECT_EQ(ws.Profile.Functions[0].DualConsecutive, 0);
    QTest::keyClick(window.sldDualNotConsecutive, Qt::Key_End); // "Sum Up"
    EXPECT_EQ(ws.Profile.Functions[0].DualNotConsecutive, 3);
    EXPECT_EQ(ws.Profile.Functions[0].DualConsecutive, 3);
    EXPECT_EQ(window.sldDualConsecutive->value(), 3);
    EXPECT_FALSE(window.sldDualConsecutive->isEnabled());
    EXPECT_EQ(window.lblDualMessage->text(), "WARNING. Sum On NOT Consecutive record imply sum On Consecutive record");

    QTest::keyClick(window.sldDualNotConsecutive, Qt::Key_Left); // "Reject on Rec"
    EXPECT_EQ(ws.Profile.Functions[0].DualNotConsecutive, 2);
    EXPECT_TRUE(window.sldDualConsecutive->isEnabled());
    EXPECT_EQ(window.sldDualConsecutive->value(), 3); // unlocked, still on "Sum Up"
    EXPECT_EQ(ws.Profile.Functions[0].DualConsecutive, 3);
    EXPECT_TRUE(window.lblDualMessage->text().isEmpty());
    QTest::keyClick(window.sldDualConsecutive, Qt::Key_Left);
    EXPECT_EQ(ws.Profile.Functions[0].DualConsecutive, 2);

    // The lock follows the function shown.
    click(window.optFunction[1]);
    EXPECT_TRUE(window.sldDualConsecutive->isEnabled());
    EXPECT_EQ(window.sldDualConsecutive->value(), 1);
}

TEST_F(ProfileEditorTest, ExtFileTabEnablesWhatTheLinkAllows)
{
    auto enabled = [&] {
        QList<bool> e;
        for (int m = 0; m < 3; ++m)
            e << window.chkExtMode[size_t(m)]->isEnabled() << window.chkExtStop[size_t(m)]->isEnabled()
              << window.cmdDefine[size_t(m)]->isEnabled();
        e << window.cmdJoinKey->isEnabled();
        return e;
    };
    EXPECT_EQ(enabled(), QList<bool>(10, false));
    choose(window.cmbFileToUse, 2);
    EXPECT_EQ(ws.Profile.Functions[0].ExtLink.FileNumber, 2);
    EXPECT_EQ(enabled(), QList<bool>({true, true, false, true, true, false, true, true, false, true}));
    click(window.chkExtMode[1]); // Retrieve Mode
    EXPECT_EQ(ws.Profile.Functions[0].ExtLink.RetrieveActive, 1);
    EXPECT_TRUE(window.cmdDefine[1]->isEnabled());
    click(window.chkExtStop[2]);
    EXPECT_EQ(ws.Profile.Functions[0].ExtLink.UpdateStop, 1);
    choose(window.cmbFileToUse, 0);
    EXPECT_EQ(ws.Profile.Functions[0].ExtLink.FileNumber, 0);
    EXPECT_EQ(enabled(), QList<bool>(10, false));
    // Another function has its own link.
    choose(window.cmbFileToUse, 5);
    click(window.optFunction[4]);
    EXPECT_EQ(window.cmbFileToUse->currentIndex(), 0);
    EXPECT_FALSE(window.cmdJoinKey->isEnabled());
}

TEST_F(ProfileEditorTest, AutomaticTransmissionTakesThePortFromItsTab)
{
    TerminalOptions &o = ws.Profile.TerminalOptions;
    window.tabComAuto->setCurrentIndex(3); // IrDa, while greyed: nothing happens
    EXPECT_EQ(o.AutoPort, 0);
    click(window.chkComAuto);
    EXPECT_EQ(o.AutoTransmit, 1);
    EXPECT_EQ(o.AutoPort, 4);
    EXPECT_TRUE(window.tabComAuto->isEnabled());
    window.tabComAuto->setCurrentIndex(2); // Keyboard keeps the port
    EXPECT_EQ(o.AutoPort, 4);
    window.tabComAuto->setCurrentIndex(4);
    EXPECT_EQ(o.AutoPort, 5);
    choose(window.portTabs[4].cmbSpeed, 3);
    choose(window.portTabs[4].cmbParity, 2);
    choose(window.portTabs[4].cmbFlowControl, 1);
    EXPECT_EQ(o.AutoPortSpeed, 3);
    EXPECT_EQ(o.AutoPortParity, 2);
    EXPECT_EQ(o.AutoPortFlowControl, 1);
    EXPECT_EQ(window.portTabs[2].cmbSpeed->count(), 7); // no "76800" on Keyboard
    // The Keyboard list stores the rate it shows, and every tab shows it.
    window.tabComAuto->setCurrentIndex(2);
    choose(window.portTabs[2].cmbSpeed, 2);
    EXPECT_EQ(window.portTabs[2].cmbSpeed->currentText(), "38400");
    EXPECT_EQ(o.AutoPortSpeed, 3); // "38400" in the full list
    EXPECT_EQ(window.portTabs[0].cmbSpeed->currentText(), "38400");
    choose(window.portTabs[4].cmbSpeed, 1);
    EXPECT_EQ(o.AutoPortSpeed, 1); // "76800": the Keyboard list shows none
    EXPECT_EQ(window.portTabs[2].cmbSpeed->currentIndex(), -1);
    choose(window.portTabs[4].cmbSpeed, 3);

    click(window.chkComAuto);
    EXPECT_EQ(o.AutoTransmit + o.AutoPort + o.AutoPortSpeed + o.AutoPortParity + o.AutoPortDataBits
                  + o.AutoPortFlowControl,
              0);
    EXPECT_FALSE(window.tabComAuto->isEnabled());
}

TEST_F(ProfileEditorTest, ConstantsAsStringAndAsAsciiCode)
{
    typeAtEnd(window.txtConstant[0], "A");
    typeAtEnd(window.txtConstant[1], "B");
    EXPECT_EQ(ws.Profile.Constants[0].Text, "AB");
    EXPECT_EQ(ws.Profile.Constants[0].Codes[0], "65");
    EXPECT_EQ(ws.Profile.Constants[0].Codes[1], "66");
    EXPECT_EQ(ws.Profile.Constants[0].Codes[2], "");

    click(window.optAsAscii);
    EXPECT_EQ(window.txtConstant[0]->text(), "065");
    EXPECT_EQ(window.txtConstant[1]->text(), "066");
    EXPECT_EQ(window.txtConstant[0]->maxLength(), 3);
    EXPECT_EQ(ws.Profile.Constants[0].Text, "AB");
    typeAtEnd(window.txtConstant[2], "300"); // not a code: the last key does nothing
    EXPECT_EQ(window.txtConstant[2]->text(), "30");
    retype(window.txtConstant[2], "9");
    EXPECT_EQ(ws.Profile.Constants[0].Text, QString("AB\t"));
    EXPECT_EQ(ws.Profile.Constants[0].Codes[2], "9");

    click(window.optAsString);
    EXPECT_EQ(window.txtConstant[0]->text(), "A");
    EXPECT_EQ(window.txtConstant[1]->text(), "B");
    EXPECT_EQ(window.txtConstant[2]->text(), "\t");
    EXPECT_EQ(window.txtConstant[0]->maxLength(), 1);

    // An empty box ends the constant.
    retype(window.txtConstant[1], "");
    EXPECT_EQ(ws.Profile.Constants[0].Text, "A");
    EXPECT_EQ(ws.Profile.Constants[0].Codes[1], "");
    EXPECT_EQ(ws.Profile.Constants[0].Codes[2], "");

    // Each constant keeps its own characters.
    choose(window.cmbConstant, 4);
    EXPECT_TRUE(window.txtConstant[0]->text().isEmpty());
    typeAtEnd(window.txtConstant[0], ",");
    EXPECT_EQ(ws.Profile.Constants[4].Codes[0], "44"); // stored as a code: a comma is fine here
    choose(window.cmbConstant, 0);
    EXPECT_EQ(window.txtConstant[0]->text(), "A");
}

TEST_F(ProfileEditorTest, ModemTabFollowsItsProfileNumber)
{
    click(window.optModemProfile[2]);
    EXPECT_EQ(ws.CurrentFunction, 2);
    EXPECT_TRUE(window.optFunction[2]->isChecked());
    EXPECT_EQ(window.txtFunctionName->text(), "Function 3");
    click(window.chkModem);
    EXPECT_TRUE(window.fraModemConfig->isEnabled());
    EXPECT_EQ(ws.Profile.Functions[2].Modem.Present, 1);
    retype(window.txtModem[0], "0123456789");
    retype(window.txtModem[4], "12a5");
    EXPECT_EQ(window.txtModem[4]->text(), "125");
    EXPECT_EQ(ws.Profile.Functions[2].Modem.Timeout, 125);
    EXPECT_EQ(ws.Profile.Functions[2].Modem.DialNumber, "0123456789");
    EXPECT_EQ(ws.Profile.Functions[0].Modem.DialNumber, "");
}

// (After Open nothing is asked: SaveAndClosingWithUnsavedEdits.)
TEST_F(ProfileEditorTest, CloseAsksAfterNew)
{
    click(window.cmdClose); // after New: asks; Cancel keeps the window
    ASSERT_EQ(messenger.shown.size(), 1u);
    EXPECT_EQ(messenger.shown[0].text, "Profile not saved.\n Are you sure to quit?");
    EXPECT_EQ(messenger.shown[0].title, "Vendrix PC");
    EXPECT_EQ(messenger.shown[0].buttons, MsgButtons::OkCancel);
    EXPECT_TRUE(window.isVisible());
}

TEST_F(ProfileEditorTest, CancelledOpenKeepsTheProfileBeingEdited)
{
    retype(row(0).txtName, "Kept");
    window.mnuOpen->trigger(); // the dialog is cancelled
    EXPECT_EQ(messenger.dialogsShown, QStringList({"Open..."}));
    EXPECT_EQ(field(0).Name, "Kept");
    EXPECT_EQ(window.windowTitle(), "Profile : Untitled*");
}

TEST_F(ProfileEditorTest, CopyProfileOneOntoThreeAndSave)
{
    // Function 1 made different from the defaults.
    retype(window.txtFunctionName, "Inventario");
    retype(row(2).txtMask, "99999");
    click(row(2).chkSum);
    reveal(window.sldDualNotConsecutive);
    QTest::keyClick(window.sldDualNotConsecutive, Qt::Key_End);
    ws.Profile.Functions[0].Comm.RecordStructure[0] = QStringLiteral("01 Date");
    click(window.optFunction[1]); // function 2 shown while copying

    std::vector<QString> seen;
    test::ui::whenModal<frmCopyProfile>([&](frmCopyProfile *copy) {
        seen.push_back(copy->windowTitle());
        seen.push_back(copy->cmbProfileFrom->currentText());
        seen.push_back(copy->cmbProfileTo->currentText());
        choose(copy->cmbProfileFrom, 0);
        choose(copy->cmbProfileTo, 0);
        click(copy->cmdOK);
        seen.push_back(copy->isVisible() ? "open" : "closed");
        choose(copy->cmbProfileTo, 2);
        messenger.answers.push_back(MsgAnswer::Ok);
        click(copy->cmdOK);
    });
    window.mnuCopyProfile->trigger();
    EXPECT_EQ(seen, std::vector<QString>({"Copy Profile", "Profile 2", "Profile 2", "open"}));
    ASSERT_EQ(messenger.shown.size(), 2u);
    EXPECT_EQ(messenger.shown[0].text, "Source profile and destination profile cannot be the same.");
    EXPECT_EQ(messenger.shown[1].title, "WARNING, possible data loss!");
    EXPECT_EQ(messenger.shown[1].text,
              "Are you sure to overwrite the profile number : 3\nWith profile number :  1"
              "\n\nThis is a NOT UNDO operation.");
    EXPECT_EQ(messenger.shown[1].icon, MsgIcon::Critical);
    EXPECT_EQ(ws.Profile.Functions[2], ws.Profile.Functions[0]);
    // Afterwards the editor shows function 1.
    EXPECT_EQ(ws.CurrentFunction, 0);
    EXPECT_TRUE(window.optFunction[0]->isChecked());
    EXPECT_EQ(window.txtFunctionName->text(), "Inventario");

    const QString path = home.file("Copied.VDX");
    messenger.fileAnswers.push_back(path);
    window.mnuSaveAs->trigger();
    EXPECT_EQ(window.windowTitle(), "Profile :" + path);
    const QByteArray file = test::readFile(path);
    EXPECT_EQ(functionLines(file, 0).size(), 358);
    EXPECT_EQ(functionLines(file, 2), functionLines(file, 0));
    EXPECT_NE(functionLines(file, 1), functionLines(file, 0));

    // Cancel leaves everything as it was.
    test::ui::whenModal<frmCopyProfile>([&](frmCopyProfile *copy) {
        choose(copy->cmbProfileTo, 4);
        click(copy->cmdCancel);
    });
    window.mnuCopyProfile->trigger();
    EXPECT_EQ(ws.Profile.Functions[4].Name, "Function 5");
}

// End to end: New, edits, Save As, New, Open: the file reads back to the
// same profile, and the caption names it.
TEST_F(ProfileEditorTest, SaveAsThenOpenGivesTheSameProfile)
{
    choose(window.cmbLanguage, 2);
    click(window.chkOperatorId);
    retype(window.txtOperatorId, "07");
    typeAtEnd(window.txtConstant[0], "Z");
    retype(window.txtKeyFrom[1], "12");
    click(window.optFunction[3]);
    retype(row(5).txtName, "Quantita");
    retype(row(5).txtMask, "99999");
    retype(row(5).txtMinLength, "2");
    click(row(5).chkDefaultEnable);
    retype(row(5).txtDefault, "1");
    choose(row(5).cmbLevel, 3);
    reveal(row(5).sldAlign);
    QTest::keyClick(row(5).sldAlign, Qt::Key_End);
    click(row(6).chkEnabled);
    click(window.chkProfileSaveData);
    EXPECT_TRUE(messenger.shown.empty());
    const ProfileSet edited = ws.Profile;
    EXPECT_NE(edited, ProfileSet());

    // A bare name gets the extension the filter promises.
    const QString path = home.file("Edited.VDX");
    messenger.fileAnswers.push_back(home.file("Edited"));
    window.mnuSaveAs->trigger(); // "Do you want to download the profile?": No
    EXPECT_TRUE(QFileInfo::exists(path));
    EXPECT_FALSE(QFileInfo::exists(home.file("Edited")));
    EXPECT_EQ(window.windowTitle(), "Profile :" + path);
    ASSERT_EQ(messenger.shown.size(), 1u);
    EXPECT_EQ(messenger.shown[0].text, "Do you want to download the profile?");
    EXPECT_EQ(messenger.dialogsShown, QStringList({"Save As..."}));

    window.mnuNew->trigger();
    EXPECT_EQ(window.windowTitle(), "Profile : Untitled*");
    EXPECT_EQ(ws.Profile, ProfileSet());
    EXPECT_EQ(row(5).txtName->text(), "Field 6");

    messenger.fileAnswers.push_back(path);
    window.mnuOpen->trigger();
    EXPECT_EQ(ws.Profile, edited);
    EXPECT_EQ(window.windowTitle(), "Profile : " + path);
    EXPECT_TRUE(window.optFunction[0]->isChecked());
    click(window.optFunction[3]);
    EXPECT_EQ(row(5).txtName->text(), "Quantita");
    EXPECT_EQ(row(5).sldAlign->value(), 2);
    EXPECT_EQ(window.txtConstant[0]->text(), "Z");
}

// End to end: the saved profile goes to a simulated settings terminal on a
// pseudo-terminal through "Send TO term" and the real send window.
TEST_F(ProfileEditorTest, SendToTerminalOverAPseudoTerminal)
{
    test::PtyPair pair;
    if (!pair.isReady())
        GTEST_SKIP() << "no pseudo-terminal pair: " << pair.errorText().toStdString();
    qputenv("VENDRIX_COM5", pair.pcEnd().toLocal8Bit());
    test::SettingsTerminal terminal;
    ASSERT_TRUE(terminal.openSerial(pair.terminalEnd())) << terminal.errorText().toStdString();

    retype(window.txtFunctionName, "Vendite");
    const QString path = home.file("ToTerm.VDX");
    messenger.fileAnswers.push_back(path);
    window.mnuSaveAs->trigger();
    messenger.clear();

    bool started = false;
    test::ui::whenModal<frmSettingsSend>([&](frmSettingsSend *send) {
        send->cmbCommPort->setCurrentIndex(4); // Com5
        click(send->Start);
        started = true;
    });
    messenger.fileAnswers.push_back(path);
    window.mnuSendToTerm->trigger(); // returns when the send window closes
    qunsetenv("VENDRIX_COM5");
    EXPECT_TRUE(started);
    EXPECT_EQ(messenger.dialogsShown, QStringList({"Send profile..."}));
    EXPECT_EQ(messenger.texts(), QStringList({TransferText::sendSuccess()}));
    EXPECT_EQ(profileWorkspace().ProfileFileName, path);
    EXPECT_TRUE(terminal.crcAgreed());
    EXPECT_EQ(terminal.badChecks(), 0);
    const QList<QByteArray> items = terminal.items();
    ASSERT_EQ(items.size(), 1936);
    EXPECT_TRUE(items.contains("PROFILE0.NAME=Vendite"));
    EXPECT_EQ(items.last(), "FLAG=17");

    // A name that does not exist is refused before any window opens.
    messenger.clear();
    messenger.fileAnswers.push_back(home.file("Missing.VDX"));
    window.mnuSendToTerm->trigger();
    EXPECT_EQ(messenger.texts(), QStringList({"Profile Settings not existent"}));
}

// Enter never does the risky thing: it does not close the editor, start a
// download, or confirm a copy that cannot be undone; the questions before
// those answer Enter with the choice that loses nothing.
TEST_F(ProfileEditorTest, EnterLosesNothing)
{
    retype(window.txtFunctionName, "Vendite");
    QTest::keyClick(window.txtFunctionName, Qt::Key_Return);
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(messenger.shown.empty());

    ws.CurrentFunction = 1;
    frmCopyProfile copy(window.state(), messenger, &window);
    copy.show();
    copy.cmbProfileTo->setCurrentIndex(3);
    EXPECT_TRUE(copy.cmdCancel->isDefault());
    QTest::keyClick(copy.cmbProfileTo, Qt::Key_Return);
    EXPECT_FALSE(copy.isVisible());
    EXPECT_TRUE(messenger.shown.empty());
    EXPECT_EQ(ws.Profile.Functions[3].Name, "Function 4");

    const QString path = home.file("Enter.VDX");
    ASSERT_TRUE(WriteProfileFile(ws.Profile, path));
    frmSettingsSend send(path, &window, nullptr, nullptr, &messenger);
    send.show();
    QTest::keyClick(&send, Qt::Key_Return);
    EXPECT_TRUE(send.isVisible());
    EXPECT_TRUE(send.Start->isEnabled()); // not started

    // The Qt questions: Cancel before an OK that cannot be undone, No before a download.
    QtMessenger qt(&window);
    const struct {
        MsgButtons buttons;
        QMessageBox::StandardButton safe;
        MsgAnswer answer;
    } questions[] = {{MsgButtons::OkCancel, QMessageBox::Cancel, MsgAnswer::Cancel},
                     {MsgButtons::YesNo, QMessageBox::No, MsgAnswer::No}};
    for (const auto &q : questions) {
        QMessageBox::StandardButton chosen = QMessageBox::NoButton;
        test::ui::whenModal<QMessageBox>([&](QMessageBox *box) {
            chosen = box->standardButton(box->defaultButton());
            QTest::keyClick(box, Qt::Key_Return);
        });
        EXPECT_EQ(qt.message("Sure?", MsgIcon::Question, q.buttons, "Vendrix PC"), q.answer);
        EXPECT_EQ(chosen, q.safe);
    }
}

// Save writes the file the profile came from, changed or not (its keys:
// the editor-alone test); closing with edits not saved asks whether to
// save them (Close after Open used to drop them without a word), closing
// an untouched profile asks nothing.
TEST_F(ProfileEditorTest, SaveAndClosingWithUnsavedEdits)
{
    const QString path = home.file("Shop.VDX");
    ASSERT_TRUE(window.OpenOrCreate(path)); // not there yet: a new profile for it
    EXPECT_EQ(window.windowTitle(), "Profile : " + path + "*");
    window.mnuSave->trigger();
    EXPECT_TRUE(QFileInfo::exists(path));
    EXPECT_TRUE(messenger.shown.empty() && messenger.dialogsShown.isEmpty());
    EXPECT_EQ(window.windowTitle(), "Profile :" + path);

    retype(window.txtFunctionName, "Vendite");
    window.cmdClose->click(); // Cancel: the editor stays
    ASSERT_EQ(messenger.texts(), QStringList({"The profile has changes that are not saved.\nSave them?"}));
    EXPECT_EQ(messenger.shown[0].buttons, MsgButtons::YesNoCancel);
    EXPECT_TRUE(window.isVisible());
    messenger.answers = {MsgAnswer::Yes};
    window.cmdClose->click();
    EXPECT_FALSE(window.isVisible());
    ProfileSet back;
    back.SetDefault();
    ASSERT_TRUE(ReadProfileFile(path, back, messenger));
    EXPECT_EQ(back.Functions[0].Name, "Vendite");

    // Opened and edited, then dropped with No: the file keeps what it had.
    window.show();
    messenger.clear();
    ASSERT_TRUE(window.OpenOrCreate(path));
    retype(window.txtFunctionName, "Acquisti");
    messenger.answers = {MsgAnswer::No};
    window.cmdClose->click();
    EXPECT_FALSE(window.isVisible());
    back.SetDefault();
    ASSERT_TRUE(ReadProfileFile(path, back, messenger));
    EXPECT_EQ(back.Functions[0].Name, "Vendite");

    // Opened and closed untouched: no question.
    window.show();
    messenger.clear();
    ASSERT_TRUE(window.OpenOrCreate(path));
    const QString other = home.file("Other.VDX");
    messenger.fileAnswers = {other};
    window.mnuSaveAs->trigger();
    EXPECT_EQ(messenger.dialogsShown, QStringList({"Save As..."}));
    EXPECT_TRUE(QFileInfo::exists(other));
    window.cmdClose->click();
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(messenger.texts(), QStringList({"Do you want to download the profile?"}));
}

// The words under a slider are whole at the window's smallest size, and
// each inner one stands under its tick mark.
TEST_F(ProfileEditorTest, SliderWordsAreWholeAndUnderTheirTicks)
{
    window.resize(window.minimumSizeHint());
    for (QSlider *slider : {window.sldDualConsecutive, window.sldDualNotConsecutive, window.fields[0].sldAlign}) {
        reveal(slider);
        QCoreApplication::processEvents();
        QStyleOptionSlider option;
        option.initFrom(slider);
        option.orientation = Qt::Horizontal;
        const int handle = slider->style()->pixelMetric(QStyle::PM_SliderLength, &option, slider);
        // The legend holds the labels nearest the slider: below it, or above
        // the first of the Align tab's sliders.
        QList<QLabel *> words;
        for (QLabel *label : window.findChildren<QLabel *>()) {
            const QRect at(label->mapTo(&window, QPoint(0, 0)), label->size());
            const QRect bar(slider->mapTo(&window, QPoint(0, 0)), slider->size());
            if (label->isVisible() && at.left() >= bar.left() - 2 && at.right() <= bar.right() + 2
                && qAbs(at.center().y() - bar.center().y()) < 40 && at.center().y() != bar.center().y()
                && !label->text().isEmpty() && !label->text().at(0).isDigit())
                words << label;
        }
        ASSERT_EQ(words.size(), slider->maximum() + 1) << slider->objectName().toStdString();
        std::sort(words.begin(), words.end(), [&](QLabel *a, QLabel *b) { return a->x() < b->x(); });
        for (int v = 0; v <= slider->maximum(); ++v) {
            QLabel *label = words[v];
            SCOPED_TRACE(label->text().toStdString());
            EXPECT_GE(label->width(), label->sizeHint().width());
            EXPECT_GE(label->height(), label->sizeHint().height());
            const int tick =
                slider
                    ->mapTo(&window,
                            QPoint(QStyle::sliderPositionFromValue(0, slider->maximum(), v, slider->width() - handle)
                                       + handle / 2,
                                   0))
                    .x();
            const int textWidth = label->fontMetrics().boundingRect(QRect(), 0, label->text()).width();
            const int left = label->mapTo(&window, QPoint(0, 0)).x();
            const int center = label->alignment() & Qt::AlignLeft    ? left + textWidth / 2
                               : label->alignment() & Qt::AlignRight ? left + label->width() - textWidth / 2
                                                                     : left + label->width() / 2;
            if (v == 0 || v == slider->maximum())
                EXPECT_LE(qAbs(center - tick), textWidth / 2 + 2); // the end words begin or end at it
            else
                EXPECT_LE(qAbs(center - tick), 3);
        }
    }
}

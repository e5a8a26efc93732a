// The communication settings, barcode table and look-up link windows of the
// profile editor, driven with the mouse and the keyboard on the offscreen
// platform.
#include "ui/profile/ProfileSubEditors.h"
#include "WidgetDriver.h"
#include "platform/Messenger.h"
#include "profiles/ProfileSet.h"
#include "ui/profile/ExtFileLinkWindows.h"
#include "ui/profile/frmBCTable.h"
#include "ui/profile/frmProfileComm.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

using namespace vx;

namespace {

// ---- A person at the keyboard and the mouse ----

using test::ui::chooseIndex;
using test::ui::click;
using test::ui::items;

// Enter ends the edit, as leaving the box does.
void typeAndLeave(QLineEdit *box, const QString &text)
{
    test::ui::type(box, text);
    QTest::keyClick(box, Qt::Key_Return);
}

QPoint itemCentre(QListWidget *list, int row)
{
    list->scrollToItem(list->item(row));
    return list->visualItemRect(list->item(row)).center();
}

void selectRow(QListWidget *list, int row)
{
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, itemCentre(list, row));
}

void doubleClickRow(QListWidget *list, int row)
{
    const QPoint at = itemCentre(list, row);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

QStringList codes(const QStringList &texts)
{
    QStringList out;
    for (const QString &t : texts)
        out << t.left(2);
    return out;
}

QStringList slotTexts(const FunctionCommSettings &c, int count = 26)
{
    QStringList out;
    for (int i = 0; i < count; ++i)
        out << c.RecordStructure[i];
    return out;
}

QStringList firstSlots(std::initializer_list<const char *> codes)
{
    QStringList out;
    for (const char *c : codes)
        out << QString::fromLatin1(c);
    while (out.size() < 26)
        out << QString();
    return out;
}

template <typename Window>
std::unique_ptr<Window> shown(std::unique_ptr<Window> window)
{
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    return window;
}

struct SubEditorTest : ::testing::Test {
    ProfileWorkspace ws;
    ScriptedMessenger messenger;

    ProfileFunction &function() { return ws.Profile.Functions[ws.CurrentFunction]; }
    FunctionCommSettings &comm() { return function().Comm; }
    std::unique_ptr<frmProfileComm> commWindow()
    {
        return shown(std::make_unique<frmProfileComm>(ws, nullptr, &messenger));
    }
};

} // namespace

// ---- Record structure ---------------------------------------------------------

TEST_F(SubEditorTest, AvailableFieldsFollowTheEnabledFields)
{
    ws.CurrentFunction = 2;
    function().Fields[1].Enabled = 0; // fields 2 and 5
    function().Fields[4].Enabled = 0;
    function().Fields[0].Name = QStringLiteral("Articolo");
    auto w = commWindow();
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Function 3 : Communication Parameter"));
    const QStringList shown = items(w->lstRecordStructure[0]);
    EXPECT_EQ(codes(shown), QStringList({"01", "02", "03", "04", "05", "06", "07", "08", "10", "11", "13", "14",
                                         "15", "16", "17", "18", "19", "20", "21", "22", "23", "24", "25", "26"}));
    EXPECT_EQ(shown.at(0), QStringLiteral("01 Date"));
    EXPECT_EQ(shown.at(7), QStringLiteral("08 Articolo"));
    EXPECT_EQ(shown.at(8), QStringLiteral("10 Field 3"));
    EXPECT_EQ(shown.at(13), QStringLiteral("16 Constant 1"));
    EXPECT_EQ(shown.last(), QStringLiteral("26 Check Digit"));
}

TEST_F(SubEditorTest, StoredSlotsLoadAsItemsAndOkWritesExactlyThem)
{
    comm().RecordStructure[0] = QStringLiteral("01");
    comm().RecordStructure[1] = QStringLiteral("08 Field 1");
    comm().RecordStructure[2] = QStringLiteral(" 26");
    comm().RecordStructure[5] = QStringLiteral("99"); // no such code: dropped
    auto w = commWindow();
    EXPECT_EQ(items(w->lstRecordStructure[1]), QStringList({"01 Date", "08 Field 1", "26 Check Digit"}));
    click(w->Command1);
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(slotTexts(comm()), firstSlots({"01", "08", "26"}));
}

TEST_F(SubEditorTest, AddingAndRemovingItemsAsAPersonDoes)
{
    auto w = commWindow();
    QListWidget *available = w->lstRecordStructure[0];
    QListWidget *chosen = w->lstRecordStructure[1];
    click(w->btnMoveUp); // nothing selected: nothing happens
    EXPECT_EQ(chosen->count(), 0);
    doubleClickRow(available, 1); // "02 Time"
    selectRow(available, 6);      // "07 Profile"
    click(w->btnMoveUp);
    click(w->btnMoveUp); // the same item may come twice
    doubleClickRow(available, available->count() - 1);
    EXPECT_EQ(codes(items(chosen)), QStringList({"02", "07", "07", "26"}));
    doubleClickRow(chosen, 1);
    selectRow(chosen, 0);
    click(w->btnMoveDown);
    EXPECT_EQ(codes(items(chosen)), QStringList({"07", "26"}));
    click(w->Command1);
    EXPECT_EQ(slotTexts(comm()), firstSlots({"07", "26"}));
    EXPECT_TRUE(messenger.shown.empty());
}

TEST_F(SubEditorTest, A26thItemFindsNoRoom)
{
    auto w = commWindow();
    for (int i = 0; i < 25; ++i)
        doubleClickRow(w->lstRecordStructure[0], i % 10);
    EXPECT_TRUE(messenger.shown.empty());
    doubleClickRow(w->lstRecordStructure[0], 3);
    ASSERT_EQ(messenger.texts(), QStringList({"No more room for record structure"}));
    EXPECT_EQ(messenger.shown[0].icon, MsgIcon::Information);
    EXPECT_EQ(w->lstRecordStructure[1]->count(), 25);
    click(w->Command1);
    EXPECT_EQ(comm().RecordStructure[24], QStringLiteral("05"));
    EXPECT_EQ(comm().RecordStructure[25], QString());
}

// Closing with Escape or the window's close button writes neither the
// record structure nor the terminal family. A stored code whose field is no
// longer enabled is shown as such and kept by "OK" until the user removes it.
TEST_F(SubEditorTest, ClosingOtherThanOkKeepsRecordStructureAndFamily)
{
    function().Fields[2].Enabled = 0;
    comm().RecordStructure[0] = QStringLiteral("10");
    comm().RecordStructure[1] = QStringLiteral("02");
    const ProfileSet before = ws.Profile;
    for (const bool escape : {true, false}) {
        auto w = commWindow();
        EXPECT_EQ(items(w->lstRecordStructure[1]), QStringList({"10 Field 3 (field not enabled)", "02 Time"}));
        doubleClickRow(w->lstRecordStructure[0], 0);
        click(w->TipoTermi[0]);
        if (escape)
            QTest::keyClick(w.get(), Qt::Key_Escape);
        else
            w->close();
        EXPECT_FALSE(w->isVisible());
        EXPECT_EQ(ws.Profile, before);
    }
    auto w = commWindow();
    click(w->TipoTermi[2]);
    click(w->Command1);
    EXPECT_EQ(ws.Profile.TerminalFamily, QStringLiteral("8300"));
    EXPECT_EQ(slotTexts(comm()), firstSlots({"10", "02"}));
    w = commWindow();
    doubleClickRow(w->lstRecordStructure[1], 0);
    click(w->Command1);
    EXPECT_EQ(slotTexts(comm()), firstSlots({"02"}));
}

// ---- Ports, boxes and separators ------------------------------------------------

TEST_F(SubEditorTest, PortTabsSetThePortButKeyboardKeepsIt)
{
    comm().Port = 4; // IrDa
    auto w = commWindow();
    EXPECT_EQ(w->SSTab1->currentIndex(), 3);
    test::ui::chooseTab(w->SSTab1, 2); // "Keyboard"
    EXPECT_EQ(w->SSTab1->tabText(2), QStringLiteral("Keyboard"));
    EXPECT_EQ(comm().Port, 4);
    test::ui::chooseTab(w->SSTab1, 1);
    EXPECT_EQ(comm().Port, 2);
    test::ui::chooseTab(w->SSTab1, 2);
    EXPECT_EQ(comm().Port, 2);
    test::ui::chooseTab(w->SSTab1, 4);
    EXPECT_EQ(comm().Port, 5);

    // Each tab's lists edit the same members; the Keyboard list, which lacks
    // "76800", stores the rate it shows.
    chooseIndex(w->CmbSpeed[2], 1); // "57600" on the Keyboard tab
    EXPECT_EQ(comm().Speed, 2);
    EXPECT_EQ(w->CmbSpeed[0]->currentText(), QStringLiteral("57600"));
    chooseIndex(w->CmbSpeed[0], 1); // "76800"
    EXPECT_EQ(comm().Speed, 1);
    EXPECT_EQ(w->CmbSpeed[2]->currentIndex(), -1);
    chooseIndex(w->cmbParity[3], 2);
    chooseIndex(w->CmbDataBits[1], 0);
    chooseIndex(w->CmbFlowControl[4], 1);
    chooseIndex(w->CmbProtocolType[0], 0);
    EXPECT_EQ(comm().Parity, 2);
    EXPECT_EQ(comm().DataBits, 0);
    EXPECT_EQ(comm().FlowControl, 1);
    EXPECT_EQ(comm().Protocol, 0);
    EXPECT_EQ(w->cmbParity[0]->currentText(), QStringLiteral("Odd"));
}

TEST_F(SubEditorTest, NumberBoxes)
{
    comm().RecordDelay = 7;
    auto w = commWindow();
    const struct {
        QLineEdit *box;
        qint16 FunctionCommSettings::*member;
    } boxes[] = {{w->txtRecordDelay, &FunctionCommSettings::RecordDelay},
                 {w->txtRecordBlock, &FunctionCommSettings::RecordBlock},
                 {w->txtFieldelay, &FunctionCommSettings::FieldDelay},
                 {w->txtBloksWaitTimemsecs, &FunctionCommSettings::BlockWaitMs}};
    for (const auto &b : boxes) {
        SCOPED_TRACE(b.box->objectName().toStdString());
        typeAndLeave(b.box, QStringLiteral("250"));
        EXPECT_EQ(comm().*b.member, 250);
        typeAndLeave(b.box, QString()); // an empty box stores 0
        EXPECT_EQ(comm().*b.member, 0);
        EXPECT_EQ(b.box->text(), QString());
        typeAndLeave(b.box, QStringLiteral("1x-2")); // letters and signs are not taken
        EXPECT_EQ(b.box->text(), QStringLiteral("12"));
        EXPECT_EQ(comm().*b.member, 12);
        test::ui::type(b.box, QStringLiteral("40000")); // beyond 16 bits: kept at 4000
        EXPECT_EQ(comm().*b.member, 4000);
        QTest::keyClick(b.box, Qt::Key_Return);
        EXPECT_EQ(b.box->text(), QStringLiteral("4000"));
    }
}

TEST_F(SubEditorTest, CheckBoxesBlockWaitAndTerminator)
{
    auto w = commWindow();
    EXPECT_TRUE(w->optBloksWaitCR->isChecked());
    EXPECT_TRUE(w->chkCheckDTE->isChecked());
    click(w->chkImmediateTX);
    click(w->chkCheckDTE);
    EXPECT_EQ(comm().TxImmediate, 1);
    EXPECT_EQ(comm().CheckCable, 0);
    click(w->optBloksWaitTime);
    EXPECT_EQ(comm().BlockWaitCR, 0);
    EXPECT_EQ(comm().BlockWaitTime, -1);
    click(w->optBloksWaitCR);
    EXPECT_EQ(comm().BlockWaitCR, -1);
    EXPECT_EQ(comm().BlockWaitTime, 0);
    chooseIndex(w->cmbBloksTerminator, 10);
    EXPECT_EQ(w->cmbBloksTerminator->currentText(), QStringLiteral("Constant 10"));
    EXPECT_EQ(comm().BlockTerminator, 10);
}

TEST_F(SubEditorTest, SeparatorBoxesFollowEachOther)
{
    auto w = commWindow();
    EXPECT_EQ(w->txtSeparatorFieldAscii->text(), QStringLiteral("44"));
    EXPECT_EQ(w->txtSeparatorFieldChar->text(), QStringLiteral(","));
    EXPECT_EQ(w->txtSeparatorDecimalAscii->text(), QStringLiteral("46"));
    EXPECT_EQ(w->txtSeparatorDecimalChar->text(), QStringLiteral("."));
    const struct {
        QLineEdit *character;
        QLineEdit *code;
        QString FunctionCommSettings::*separator;
        qint16 FunctionCommSettings::*separatorCode;
    } pairs[] = {{w->txtSeparatorFieldChar, w->txtSeparatorFieldAscii, &FunctionCommSettings::FieldSeparator,
                  &FunctionCommSettings::FieldSeparatorCode},
                 {w->txtSeparatorDecimalChar, w->txtSeparatorDecimalAscii, &FunctionCommSettings::DecimalSeparator,
                  &FunctionCommSettings::DecimalSeparatorCode}};
    const struct {
        const char *code;
        const char *character;
    } codeCases[] = {{"59", ";"}, {"0", ""}, {"255", ""}, {"300", ""}, {"9", "\t"}, {"233", "\u00e9"}};
    for (const auto &p : pairs) {
        SCOPED_TRACE(p.code->objectName().toStdString());
        for (const auto &c : codeCases) {
            test::ui::type(p.code, QString::fromLatin1(c.code));
            EXPECT_EQ(p.character->text(), QString::fromUtf8(c.character)) << c.code;
            EXPECT_EQ(comm().*p.separatorCode, QString::fromLatin1(c.code).toInt());
            EXPECT_EQ(comm().*p.separator, QString::fromUtf8(c.character));
        }
        test::ui::type(p.character, QStringLiteral(";"));
        EXPECT_EQ(p.code->text(), QStringLiteral("59"));
        EXPECT_EQ(comm().*p.separatorCode, 59);
        EXPECT_EQ(comm().*p.separator, QStringLiteral(";"));
        // An emptied box stores nothing, and leaving it shows the stored pair.
        typeAndLeave(p.character, QString());
        EXPECT_EQ(comm().*p.separatorCode, 59);
        EXPECT_EQ(p.code->text(), QStringLiteral("59"));
        EXPECT_EQ(p.character->text(), QStringLiteral(";"));
    }
    // A blank is a decimal separator, but an empty field separator.
    test::ui::type(w->txtSeparatorDecimalChar, QStringLiteral(" "));
    EXPECT_EQ(w->txtSeparatorDecimalAscii->text(), QStringLiteral("32"));
    test::ui::type(w->txtSeparatorFieldChar, QStringLiteral(" "));
    EXPECT_EQ(w->txtSeparatorFieldAscii->text(), QString());
}

// ---- Barcode table --------------------------------------------------------------

TEST_F(SubEditorTest, BarcodeBoxesAreBitsOfTheirEntries)
{
    ws.CurrentFunction = 1;
    ws.CurrentBarcodeField = 3;
    BarcodeTable &table = function().Fields[3].Barcode;
    auto w = shown(std::make_unique<frmBCTable>(ws));
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Field 4 : Bar Code Table"));
    QStringList clear;
    for (QCheckBox *box : w->chkBarCode) {
        if (!box->isChecked())
            clear << box->text();
    }
    EXPECT_EQ(clear,
              QStringList({"Italy PharmaCode", "Matrix 25", "UPCE to UPCA", "ISBN Conversion", "ISSN Conversion"}));

    const struct {
        int box;
        int entry;
        std::vector<qint16> values;    // after each click
    } cases[] = {{0, 0, {59, 187}},    // "Code 39"
                 {24, 10, {125, 61}},  // "ISSN Conversion"
                 {23, 10, {189, 61}},  // "ISBN Conversion"
                 {15, 1, {254, 255}},  // "EAN 13 no Addon"
                 {19, 2, {224, 240}},  // "Plessey"
                 {20, 9, {153, 157}}}; // "Std to UK Plessey"
    for (const auto &c : cases) {
        SCOPED_TRACE(w->chkBarCode[c.box]->text().toStdString());
        const BarcodeTable before = table;
        for (const qint16 value : c.values) {
            click(w->chkBarCode[c.box]);
            EXPECT_EQ(table[c.entry], value);
        }
        EXPECT_EQ(table, before);
    }
    EXPECT_EQ(ws.Profile.Functions[0].Fields[3].Barcode, DefaultBarcodeTable());
}

TEST_F(SubEditorTest, BarcodeEntryThatDoesNotApplyStaysMinusOne)
{
    function().Fields[0].Barcode[9] = -1;
    auto w = shown(std::make_unique<frmBCTable>(ws));
    for (int box = 20; box <= 22; ++box) {
        EXPECT_FALSE(w->chkBarCode[box]->isEnabled());
        EXPECT_FALSE(w->chkBarCode[box]->isChecked());
        click(w->chkBarCode[box]);
    }
    EXPECT_EQ(function().Fields[0].Barcode[9], -1);
    EXPECT_TRUE(w->chkBarCode[23]->isEnabled());
}

// ---- Look-up links ----------------------------------------------------------------

TEST_F(SubEditorTest, DisabledFieldIsNotAvailableYetStorable)
{
    ws.CurrentFunction = 3;
    function().Fields[2].Enabled = 0;
    function().Fields[0].Name = QStringLiteral("Codice");
    function().ExtLink.FileNumber = 2;
    ws.Profile.ExtFileLayouts[1].KeyTo = {QStringLiteral("5"), QStringLiteral("9"), QStringLiteral("12"),
                                          QStringLiteral("20"), QString()};
    auto key = shown(std::make_unique<frmExtFileJoinKey>(ws));
    auto retrieve = shown(std::make_unique<frmExtFileFiledsToRetrieve>(ws));
    auto update = shown(std::make_unique<frmExtFileFieldsToUpdate>(ws));
    const struct {
        QComboBox *box;
        const char *first;
        std::function<QString()> stored;
    } lists[] = {
        {key->cmbFileJoinKey[1], "None", [&] { return QString::number(function().ExtLink.KeyField[1]); }},
        {retrieve->cmbRetrieveInto[6], "None", [&] { return function().ExtLink.RetrieveInto[6]; }},
        {update->cmbFieldOperand[7], "Custom", [&] { return QString::number(function().ExtLink.UpdateWithField[7]); }},
    };
    for (const auto &l : lists) {
        SCOPED_TRACE(l.box->objectName().toStdString());
        ASSERT_EQ(l.box->count(), 9);
        EXPECT_EQ(l.box->itemText(0), QString::fromLatin1(l.first));
        EXPECT_EQ(l.box->itemText(1), QStringLiteral("Codice"));
        EXPECT_EQ(l.box->itemText(3), QStringLiteral("Not Available"));
        EXPECT_EQ(l.box->itemText(8), QStringLiteral("Field 8"));
        EXPECT_EQ(l.stored(), QStringLiteral("0"));
        chooseIndex(l.box, 3);
        EXPECT_EQ(l.stored(), QStringLiteral("3"));
        chooseIndex(l.box, 8);
        EXPECT_EQ(l.stored(), QStringLiteral("8"));
    }
}

TEST_F(SubEditorTest, KeyListsNeedAnEndPosition)
{
    function().ExtLink.FileNumber = 5;
    function().ExtLink.KeyField = {2, 0, 4, 0, 0};
    ws.Profile.ExtFileLayouts[4].KeyFrom = {QStringLiteral("0"), QStringLiteral("6"), QStringLiteral("9"),
                                            QStringLiteral("12"), QString()};
    ws.Profile.ExtFileLayouts[4].KeyTo = {QStringLiteral("5"), QStringLiteral(" 8"), QString(), QStringLiteral("0"),
                                          QString()};
    ws.Profile.ExtFileLayouts[0].KeyTo = {QStringLiteral("5"), QStringLiteral("8"), QStringLiteral("11"),
                                          QStringLiteral("15"), QString()};
    auto w = shown(std::make_unique<frmExtFileJoinKey>(ws));
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Join Key Field"));
    const bool enabled[] = {true, true, false, false};
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(w->cmbFileJoinKey[k]->isEnabled(), enabled[k]) << k;
    EXPECT_EQ(w->cmbFileJoinKey[0]->currentText(), QStringLiteral("Field 2"));
    EXPECT_EQ(w->cmbFileJoinKey[2]->currentText(), QStringLiteral("Field 4"));
}

TEST_F(SubEditorTest, JoinKeysAreRefusedWithoutALinkedFile)
{
    Messenger::setCurrent(&messenger);
    for (const qint16 file : {qint16(0), qint16(6), qint16(-1)}) {
        function().ExtLink.FileNumber = file;
        bool opened = false;
        QTimer watch; // closes a window that should not have opened
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (QWidget *modal = QApplication::activeModalWidget()) {
                opened = true;
                static_cast<QDialog *>(modal)->reject();
            }
        });
        watch.start(20);
        ShowExtFileJoinKey(ws, nullptr);
        EXPECT_FALSE(opened) << file;
    }
    Messenger::setCurrent(nullptr);
    EXPECT_EQ(messenger.texts(), QStringList(3, NoLinkedFileText()));
    EXPECT_EQ(messenger.shown[0].icon, MsgIcon::Exclamation);
}

TEST_F(SubEditorTest, FieldsToShowAndToUpdate)
{
    ExtFileLink &x = function().ExtLink;
    x.UpdateOperator[2] = 3;
    x.UpdateValue[5] = QStringLiteral("10");
    auto show = shown(std::make_unique<frmExtFileFieldsToShow>(ws));
    click(show->chkFieldToShow[0]);
    click(show->chkFieldToShow[7]);
    click(show->chkFieldToShow[0]);
    EXPECT_EQ(x.QueryShowField, (std::array<qint16, 8>{0, 0, 0, 0, 0, 0, 0, 1}));

    auto update = shown(std::make_unique<frmExtFileFieldsToUpdate>(ws));
    EXPECT_EQ(update->sldOperator[0]->value(), 1);
    EXPECT_EQ(update->sldOperator[2]->value(), 3);
    EXPECT_EQ(update->txtFieldVal[5]->text(), QStringLiteral("10"));
    click(update->chkUpdateyesNo[4]);
    QTest::keyClick(update->sldOperator[4], Qt::Key_End);          // "Upd"
    QTest::keyClick(update->sldOperator[6], Qt::Key_Left);         // "+"
    test::ui::type(update->txtFieldVal[4], QStringLiteral("1,5")); // the comma is not taken
    EXPECT_EQ(x.UpdateEnabled[4], 1);
    EXPECT_EQ(x.UpdateOperator[4], 4);
    EXPECT_EQ(x.UpdateOperator[6], 0);
    EXPECT_EQ(x.UpdateValue[4], QStringLiteral("15"));
    EXPECT_EQ(update->txtFieldVal[4]->text(), QStringLiteral("15"));
}

// ---- Opening from the profile editor ------------------------------------------------

TEST_F(SubEditorTest, EachEditorOpensModallyAndOkCloses)
{
    function().ExtLink.FileNumber = 1;
    const ProfileSet before = ws.Profile;
    const struct {
        void (*show)(ProfileWorkspace &, QWidget *);
        const char *name;
        const char *title;
    } editors[] = {{ShowProfileComm, "frmProfileComm", "Function 1 : Communication Parameter"},
                   {ShowBCTable, "frmBCTable", "Field 1 : Bar Code Table"},
                   {ShowExtFileJoinKey, "frmExtFileJoinKey", "Join Key Field"},
                   {ShowExtFileFieldsToShow, "frmExtFileFieldsToShow", "Field To Show"},
                   {ShowExtFileFieldsToRetrieve, "frmExtFileFiledsToRetrieve", "Retrieve Fields Definition"},
                   {ShowExtFileFieldsToUpdate, "frmExtFileFieldsToUpdate", "Fields To Update"}};
    const QSize screen(1366, 768);
    for (const auto &e : editors) {
        SCOPED_TRACE(e.name);
        QString name;
        QString title;
        QSize size;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal || !name.isEmpty())
                return;
            name = modal->objectName();
            title = modal->windowTitle();
            size = modal->frameGeometry().size();
            click(modal->findChild<QPushButton *>(QStringLiteral("Command1")));
        });
        watch.start(20);
        e.show(ws, nullptr);
        EXPECT_EQ(name, QString::fromLatin1(e.name));
        EXPECT_EQ(title, QString::fromLatin1(e.title));
        EXPECT_LE(size.width(), screen.width());
        EXPECT_LE(size.height(), screen.height() - 40); // room for a panel
    }
    EXPECT_EQ(ws.Profile, before); // opening and OK alone change nothing
}

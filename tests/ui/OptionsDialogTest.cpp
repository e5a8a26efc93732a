// The options dialog and the modem window, driven with mouse and keyboard
// on the offscreen platform, over a real settings file in a fresh home.
#include "PtyPair.h"
#include "TestSupport.h"
#include "WidgetDriver.h"
#include "collector/RegistryExchange.h"
#include "platform/Messenger.h"
#include "platform/Paths.h"
#include "settings/IniStore.h"
#include "settings/OptionsForm.h"
#include "settings/Settings.h"
#include "ui/options/frmOptions.h"
#include "ui/options/frmSettingModem.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyleOptionButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

using namespace vx;
using namespace vx::test;

// Texts read as texts in failure messages.
static void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}


// A settings file holding what a test stores, loaded as the program loads
// it, and the dialog opened on it.
class OptionsTest : public ::testing::Test {
protected:
    OptionsTest() : store(Paths::settingsFile()), settings(Settings::defaults()) {}

    void stored(const QString &section, const QString &key, const QString &value) { store.write(section, key, value); }
    struct Key {
        const char *section;
        const char *key;
        const char *value;
    };
    void stored(std::initializer_list<Key> keys)
    {
        for (const Key &k : keys)
            store.write(k.section, k.key, k.value);
    }
    // What the settings file must hold now, key by key.
    void expectSaved(std::initializer_list<Key> keys) const
    {
        for (const Key &k : keys)
            EXPECT_EQ(saved(k.section, k.key), QLatin1String(k.value)) << k.section << " " << k.key;
    }
    frmOptions &open()
    {
        LoadSettings(store, settings);
        before = readFile(Paths::settingsFile());
        dialog = std::make_unique<frmOptions>(settings, store, messenger);
        dialog->show();
        QCoreApplication::processEvents();
        return *dialog;
    }
    // The value the settings file holds now, read by a store of its own.
    QString saved(const QString &section, const QString &key) const
    {
        IniStore fresh(Paths::settingsFile());
        return fresh.read(section, key, QStringLiteral("<missing>"));
    }
    bool fileUnchanged() const { return readFile(Paths::settingsFile()) == before; }
    QString exchangeValue(int n) const
    {
        return RegistryExchange::ReadRegistryValue(QStringLiteral("HKEY_CURRENT_USER"), QStringLiteral("DataExchange"),
                                                   QStringLiteral("ID(%1)").arg(n), QStringLiteral("<missing>"));
    }

    TempHome home;
    IniStore store;
    Settings settings;
    ScriptedMessenger messenger;
    std::unique_ptr<frmOptions> dialog;
    QByteArray before;
};

TEST_F(OptionsTest, IntervalIsSavedInTwoDigitsFrom02To60)
{
    const struct {
        const char *typed;
        const char *saved;
    } cases[] = {{"0", "02"}, {"1", "02"}, {"", "02"}, {"75", "60"}, {"7", "07"}, {"30", "30"}, {"60", "60"}};
    for (const auto &c : cases) {
        frmOptions &d = open();
        ui::type(d.txtComAutoSec[2], QString::fromLatin1(c.typed));
        ASSERT_TRUE(d.cmdOK_Click()) << c.typed;
        EXPECT_EQ(saved("Com(2)", "AutoSec"), QLatin1String(c.saved)) << "typed '" << c.typed << "'";
        EXPECT_FALSE(d.isVisible());
    }
    // Letters cannot be typed into the interval at all; a stored text out of
    // range is limited when automatic collection is off, and kept as it is
    // when it is on and the user left it alone (the collector honours it).
    stored("Com(3)", "AutoSec", "120");
    frmOptions &d = open();
    ui::type(d.txtComAutoSec[1], "x9y5");
    EXPECT_EQ(d.txtComAutoSec[1]->text(), "95");
    EXPECT_EQ(d.txtComAutoSec[3]->text(), "120");
    ui::click(d.cmdOK);
    EXPECT_EQ(saved("Com(3)", "AutoSec"), "60"); // no automatic collection: the interval means nothing
    stored(
        {{"Com(3)", "Auto", "1"}, {"Com(3)", "AutoSec", "120"}, {"Com(4)", "Auto", "1"}, {"Com(4)", "AutoSec", "00"}});
    ui::type(open().txtComAutoSec[2], "75");
    ui::click(dialog->cmdOK);
    expectSaved({{"Com(3)", "AutoSec", "120"}, {"Com(4)", "AutoSec", "00"}, {"Com(2)", "AutoSec", "60"}});
}

TEST_F(OptionsTest, ProtocolAndPolicyDecideAutomaticAndAlwaysOverwrite)
{
    stored({{"Com(2)", "Auto", "1"},
            {"Com(2)", "AutoSec", "10"},
            {"DBMS(2)", "Policy", "OverWrite"},
            {"DBMS(2)", "AlwaysOverwrite", "1"}});
    frmOptions &d = open();
    EXPECT_TRUE(d.chkComAuto[2]->isChecked());
    EXPECT_TRUE(d.chkComAuto[2]->isEnabled());
    EXPECT_TRUE(d.ChkAlwaysOverwrite[2]->isChecked());
    EXPECT_TRUE(d.ChkAlwaysOverwrite[2]->isEnabled());

    // "None": both cleared and disabled, and a click does not tick them.
    ASSERT_TRUE(ui::choose(d.CmbProtocolType[2], "None"));
    EXPECT_FALSE(d.chkComAuto[2]->isChecked());
    EXPECT_FALSE(d.chkComAuto[2]->isEnabled());
    EXPECT_FALSE(d.ChkAlwaysOverwrite[2]->isChecked());
    EXPECT_FALSE(d.ChkAlwaysOverwrite[2]->isEnabled());
    ui::click(d.chkComAuto[2]);
    EXPECT_FALSE(d.chkComAuto[2]->isChecked());
    ui::click(d.cmdOK);
    expectSaved({{"Com(2)", "ConnProtocol", "None"}, {"Com(2)", "Auto", "0"}, {"DBMS(2)", "AlwaysOverwrite", "0"}});

    // Back to "ACK/NAK": usable again, but not ticked on their own.
    open();
    EXPECT_FALSE(dialog->chkComAuto[2]->isEnabled());
    ASSERT_TRUE(ui::choose(dialog->CmbProtocolType[2], "ACK/NAK"));
    EXPECT_TRUE(dialog->chkComAuto[2]->isEnabled());
    EXPECT_FALSE(dialog->chkComAuto[2]->isChecked());
    EXPECT_TRUE(dialog->ChkAlwaysOverwrite[2]->isEnabled());

    // "NewFile" on an "ACK/NAK" channel: "Always Overwrite" cleared and disabled.
    ui::click(dialog->ChkAlwaysOverwrite[2]);
    ASSERT_TRUE(dialog->ChkAlwaysOverwrite[2]->isChecked());
    ASSERT_TRUE(ui::choose(dialog->cmbPolicy[2], "NewFile"));
    EXPECT_FALSE(dialog->ChkAlwaysOverwrite[2]->isChecked());
    EXPECT_FALSE(dialog->ChkAlwaysOverwrite[2]->isEnabled());
    ASSERT_TRUE(ui::choose(dialog->cmbPolicy[2], "Append"));
    EXPECT_FALSE(dialog->ChkAlwaysOverwrite[2]->isEnabled());
    ASSERT_TRUE(ui::choose(dialog->cmbPolicy[2], "OverWrite"));
    EXPECT_TRUE(dialog->ChkAlwaysOverwrite[2]->isEnabled());
    ui::click(dialog->ChkAlwaysOverwrite[2]);
    ui::click(dialog->chkComAuto[2]);
    ui::click(dialog->cmdOK);
    expectSaved({{"Com(2)", "Auto", "1"}, {"DBMS(2)", "AlwaysOverwrite", "1"}, {"DBMS(2)", "Policy", "OverWrite"}});
}

// The password rules of "OK" and "&Apply", one stored state and one set of
// actions per case. The boxes start empty and hold a new password only;
// turning Profile Mode on or off or setting a password asks for the
// current one whenever one is stored.
TEST_F(OptionsTest, ProfileModePasswordRules)
{
    enum class Button { Ok, Apply };
    const auto newPassword = [](const char *text) {
        return [text](frmOptions &d) {
            ui::type(d.txtPWD, text);
            ui::type(d.txtPWDVer, text);
        };
    };
    const auto toggleMode = [](frmOptions &d) { ui::click(d.chkProfileMode); };
    struct Case {
        const char *name;
        const char *storedPassword;
        int storedMode;
        std::function<void(frmOptions &)> edit;
        Button button;
        bool asks;
        std::optional<QString> current; // typed into the prompt
        bool saves;
        const char *message; // shown, or nullptr
        const char *savedPassword;
        int savedMode;
    };
    const Case cases[] = {
        {"empty boxes keep the password",
         "secret",
         1,
         [](frmOptions &) {},
         Button::Ok,
         false,
         {},
         true,
         nullptr,
         "secret",
         1},
        {"a new password with the current one", "secret", 1, newPassword("newer"), Button::Ok, true, QString("secret"),
         true, nullptr, "newer", 1},
        {"a new password with a wrong one", "secret", 1, newPassword("newer"), Button::Apply, true, QString("guess"),
         false, PasswordRules::kWrong, "secret", 1},
        {"the prompt cancelled", "secret", 1, newPassword("newer"), Button::Ok, true, std::nullopt, false, nullptr,
         "secret", 1},
        {"boxes that differ",
         "secret",
         1,
         [](frmOptions &d) { ui::type(d.txtPWDVer, "secreT"); },
         Button::Ok,
         false,
         {},
         false,
         PasswordRules::kMismatch,
         "secret",
         1},
        {"turning profile mode on, wrong password", "secret", 0, toggleMode, Button::Ok, true, QString("guess"), false,
         PasswordRules::kWrong, "secret", 0},
        {"turning profile mode on", "secret", 0, toggleMode, Button::Apply, true, QString("secret"), true, nullptr,
         "secret", 1},
        {"turning profile mode off, wrong password", "secret", 1, toggleMode, Button::Ok, true, QString("guess"), false,
         PasswordRules::kWrong, "secret", 1},
        {"turning profile mode off", "secret", 1, toggleMode, Button::Ok, true, QString("secret"), true, nullptr,
         "secret", 0},
        {"no password anywhere", "", 1, [](frmOptions &) {}, Button::Ok, false, {}, true, PasswordRules::kBlank, "", 1},
        {"a first password needs no prompt",
         "",
         1,
         newPassword("first"),
         Button::Apply,
         false,
         {},
         true,
         nullptr,
         "first",
         1},
        {"turning on without a password", "", 0, toggleMode, Button::Ok, false, {}, true, PasswordRules::kBlank, "", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        stored("Misc", "Password", QString::fromLatin1(c.storedPassword));
        stored("Misc", "ProfileMode", QString::number(c.storedMode));
        stored("Misc", "PercorsoChiave", "DataExchange");
        messenger.clear();
        messenger.promptAnswers = {c.current};
        frmOptions &d = open();
        EXPECT_EQ(d.txtPWD->isEnabled(), c.storedMode == 1);
        // The stored password is never shown.
        EXPECT_TRUE(d.txtPWD->text().isEmpty());
        EXPECT_TRUE(d.txtPWDVer->text().isEmpty());
        c.edit(d);
        ui::type(d.Percorso, "Edited");
        ui::click(c.button == Button::Ok ? d.cmdOK : d.cmdApply);

        EXPECT_EQ(messenger.promptsShown, c.asks ? QStringList({"Enter Password"}) : QStringList());
        if (c.message) {
            ASSERT_EQ(messenger.texts(), QStringList({QString::fromLatin1(c.message)}));
            if (c.message == PasswordRules::kWrong) {
                EXPECT_EQ(messenger.shown[0].icon, MsgIcon::Critical);
                EXPECT_EQ(d.chkProfileMode->isChecked(), c.storedMode == 1); // back as stored
            }
        } else {
            EXPECT_TRUE(messenger.texts().isEmpty()) << messenger.texts().join('|').toStdString();
        }
        if (c.saves) {
            EXPECT_EQ(saved("Misc", "PercorsoChiave"), "Edited");
        } else {
            EXPECT_TRUE(fileUnchanged());
            EXPECT_EQ(settings.Misc.PercorsoChiave, "DataExchange");
        }
        EXPECT_EQ(saved("Misc", "Password"), QString::fromLatin1(c.savedPassword));
        EXPECT_EQ(saved("Misc", "ProfileMode"), QString::number(c.savedMode));
        // "OK" closes only when it saved; "&Apply" never closes.
        EXPECT_EQ(d.isVisible(), !(c.saves && c.button == Button::Ok));
    }
}

// A stored text that is none of a list's entries is shown as it is (that
// "OK" saves it unchanged, where the original put the first entry in its
// place, is the untouched round trip's); choosing an entry replaces it.
TEST_F(OptionsTest, ListsShowTheStoredEntryOrKeepAnUnlistedOne)
{
    stored({{"Com(1)", "Port", "Com7"},
            {"Com(1)", "Speed", "76800"},
            {"Com(2)", "Parity", "Dispari"},
            {"Com(2)", "StopBits", "1,5"},
            {"Com(2)", "FlowControl", "RTS/CTS"},
            {"Com(2)", "DataBits", "9"},
            {"Com(2)", "ConnProtocol", "ACK/NAK "},
            {"Com(2)", "Auto", "1"},
            {"Com(3)", "ConnType", "IRCradle"},
            {"Com(3)", "Port", "Com0"},
            {"Com(4)", "ConnType", "TCP "},
            {"DBMS(1)", "Type", "PostgreSQL"},
            {"DBMS(1)", "Name", "host=127.0.0.1 dbname=vendrix"},
            {"DBMS(2)", "Type", "Dbase IV (*.dbf)"},
            {"DBMS(2)", "SepCode", ";"},
            {"DBMS(3)", "Policy", "Sometimes"}});
    frmOptions &d = open();
    EXPECT_EQ(d.CmbComPort[1]->currentText(), "Com7");
    EXPECT_EQ(d.CmbSpeed[1]->currentText(), "76800");
    EXPECT_EQ(d.cmbParity[2]->currentText(), "Dispari");
    EXPECT_EQ(d.CmbStopBits[2]->currentText(), "1,5");
    EXPECT_EQ(d.CmbFlowControl[2]->currentText(), "RTS/CTS");
    EXPECT_EQ(d.CmbDataBits[2]->currentText(), "9");
    EXPECT_EQ(d.CmbProtocolType[2]->currentText(), "ACK/NAK ");
    EXPECT_TRUE(d.chkComAuto[2]->isChecked()); // as stored, greyed
    EXPECT_FALSE(d.chkComAuto[2]->isEnabled());
    EXPECT_TRUE(d.OptConnType[3][5]->isChecked());
    EXPECT_EQ(d.CmbComPort[3]->currentText(), "Com0");
    for (QRadioButton *opt : d.OptConnType[4])
        EXPECT_FALSE(opt->isChecked());
    EXPECT_FALSE(d.lblConnTypeKept[4]->isHidden());
    EXPECT_TRUE(d.lblConnTypeKept[4]->text().contains("\"TCP \""));
    EXPECT_EQ(d.CmbDBMSType[1]->currentText(), "PostgreSQL");
    EXPECT_FALSE(d.cmdEsplora[1]->isEnabled()); // a connection string, not a file
    EXPECT_EQ(d.cmbSeparator[2]->currentText(), ";");
    EXPECT_EQ(d.cmbPolicy[3]->currentText(), "Sometimes");

    // Chosen entries replace the kept texts; the extra entry goes with them.
    frmOptions &again = open();
    ASSERT_TRUE(ui::choose(again.CmbSpeed[1], "9600"));
    ASSERT_TRUE(ui::choose(again.CmbProtocolType[2], "None"));
    EXPECT_FALSE(again.chkComAuto[2]->isChecked());
    ui::click(again.OptConnType[4][3]);
    EXPECT_TRUE(again.lblConnTypeKept[4]->isHidden());
    ui::click(again.cmdOK);
    expectSaved({{"Com(1)", "Speed", "9600"},
                 {"Com(2)", "ConnProtocol", "None"},
                 {"Com(2)", "Auto", "0"},
                 {"Com(4)", "ConnType", "TCP"}});
    EXPECT_EQ(open().CmbSpeed[1]->count(), OptionsLists::Speeds().size());
}

// What the dialog shows of stored texts with blanks and of two run options
// both on; that OK gives them back is the untouched round trip's.
TEST_F(OptionsTest, ShowsStoredFlagsAndWordsAsTheyMean)
{
    stored({{"Com(2)", "ConnType", "TCP"},
            {"ExtFile(3)", "DelAfterSend", " 0"},
            {"ExtFile(3)", "isZucchetti", " 1"},
            {"ExtFile(4)", "DelAfterSend", " 1"},
            {"Misc", "RunIconized", "1"},
            {"Misc", "RunNormal", "1"},
            {"Misc", "ChiavePC", "HKEY_USERS"}});
    frmOptions &d = open();
    EXPECT_TRUE(d.OptConnType[2][3]->isChecked());
    EXPECT_FALSE(d.DelAfterSend[3]->isChecked());
    EXPECT_TRUE(d.chkZucchetti[3]->isChecked());
    EXPECT_TRUE(d.DelAfterSend[4]->isChecked());
    EXPECT_FALSE(d.chkZucchetti[4]->isChecked());
    EXPECT_TRUE(d.RunIconized->isChecked());
    EXPECT_FALSE(d.RunNormal->isChecked());
    EXPECT_EQ(d.ComboKey->currentText(), "HKEY_USERS");
}

TEST_F(OptionsTest, CancelLeavesTheFileAndTheRecordsAsTheyWere)
{
    frmOptions &d = open();
    const Settings records = settings;
    ASSERT_TRUE(ui::choose(d.CmbComPort[1], "Com7"));
    ui::type(d.IP[1][4], "4444");
    ui::click(d.OptConnType[1][3]);
    ui::click(d.RunMinimized);
    ui::type(d.PCtoTermdb[2], "/tmp/elsewhere.txt");
    ui::whenModal<frmSettingModem>([](frmSettingModem *m) {
        ui::type(m->txtReset, "ATZ9");
        ui::click(m->cmdOK);
    });
    ui::click(d.cmdSettingModem[1]);
    ASSERT_EQ(d.ModemReset[1], "ATZ9");
    ui::click(d.cmdCancel);

    EXPECT_FALSE(d.isVisible());
    EXPECT_TRUE(fileUnchanged());
    EXPECT_EQ(settings.Com[1].ResetModem, records.Com[1].ResetModem);
    EXPECT_EQ(settings.Com[1].Port, records.Com[1].Port);
    EXPECT_EQ(settings.Com[1].IP5, records.Com[1].IP5);
    EXPECT_EQ(settings.Misc.RunMinimized, records.Misc.RunMinimized);
    EXPECT_EQ(settings.ExtFile[2].Name, records.ExtFile[2].Name);
    EXPECT_TRUE(messenger.shown.empty());
}

TEST_F(OptionsTest, ModemWindowEditsOneChannelsCommandsUntilOk)
{
    stored("Com(3)", "InitModem", "ATS0=2");
    frmOptions &d = open();
    QString shownReset;
    QString shownInit;
    QString title;
    ui::whenModal<frmSettingModem>([&](frmSettingModem *m) {
        title = m->windowTitle();
        shownReset = m->txtReset->text();
        shownInit = m->txtInitModem->text();
        ui::type(m->txtInitModem, "ATE0S0=1");
        ui::click(m->cmdOK);
    });
    ui::click(d.cmdSettingModem[3]);
    EXPECT_EQ(title, "Configure Modem Setting");
    EXPECT_EQ(shownReset, "AT&F");
    EXPECT_EQ(shownInit, "ATS0=2");

    // Closed without "OK": the edit is dropped.
    ui::whenModal<frmSettingModem>([](frmSettingModem *m) {
        ui::type(m->txtReset, "ATX");
        m->reject();
    });
    ui::click(d.cmdSettingModem[3]);
    EXPECT_TRUE(fileUnchanged()); // nothing reaches the file before "OK"
    ui::click(d.cmdOK);
    expectSaved({{"Com(3)", "InitModem", "ATE0S0=1"},
                 {"Com(3)", "ResetModem", "AT&F"},
                 {"Com(2)", "InitModem", "ATE0V1S0=1L0"}});
}

TEST_F(OptionsTest, OkAndApplyResetTheExchangeRequests)
{
    stored("Misc", "ProfileMode", "0");
    for (int n = 1; n <= 4; ++n)
        ASSERT_TRUE(RegistryExchange::WriteRegistryValue("HKEY_CURRENT_USER", "DataExchange",
                                                         QStringLiteral("ID(%1)").arg(n), "3", messenger));
    frmOptions &d = open();
    ui::click(d.cmdApply);
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(exchangeValue(n), "0") << n;
    EXPECT_TRUE(d.isVisible());

    // Under a key path that cannot be made, one message, and the settings
    // are saved all the same.
    QDir().mkpath(RegistryExchange::BaseFolder() + "/HKEY_CURRENT_USER");
    writeFile(RegistryExchange::BaseFolder() + "/HKEY_CURRENT_USER/Blocked", "file");
    ui::type(d.Percorso, "Blocked\\Below");
    messenger.clear();
    ui::click(d.cmdOK);
    EXPECT_EQ(messenger.texts(), QStringList({"Error opening or creating registry key"}));
    EXPECT_EQ(saved("Misc", "PercorsoChiave"), "Blocked\\Below");
    EXPECT_FALSE(d.isVisible());
}

TEST_F(OptionsTest, FilePickersOfferTheFilterOfTheTargetKind)
{
    frmOptions &d = open();
    const struct {
        const char *type;
        const char *filter;
    } cases[] = {{"TXT (*.txt)", "Text File (*.txt)|*.txt"},
                 {"Access 2.0 (*.mdb)", "Access DataBase (*.mdb)|*.mdb"},
                 {"Dbase III (*.dbf)", "Dbase III (*.dbf)|*.dbf"},
                 {"Dbase IV (*.dbf)", "Dbase IV (*.dbf)|*.dbf"},
                 {"Dbase 5 (*.dbf)", "Dbase 5 (*.dbf)|*.dbf"},
                 {"CSV (*.csv)", "CSV (*.csv)|*.csv"},
                 {"Zucchetti", "Tutti i file|*.*"}};
    for (const auto &c : cases) {
        ASSERT_TRUE(ui::choose(d.CmbDBMSType[2], QLatin1String(c.type)));
        messenger.fileAnswers = {QStringLiteral("/data/%1").arg(QLatin1String(c.type))};
        ui::click(d.cmdEsplora[2]);
        EXPECT_EQ(messenger.dialogFilters.last(), QLatin1String(c.filter));
        // A target the collector will make: a new name can be chosen.
        EXPECT_EQ(messenger.dialogKinds.last(), "new");
        EXPECT_EQ(messenger.dialogsShown.last(), "Select DataBase FileName");
        EXPECT_EQ(d.txtDBMSName[2]->text(), QStringLiteral("/data/%1").arg(QLatin1String(c.type)));
    }
    // The dialog starts from the current name; a cancelled dialog keeps it.
    EXPECT_EQ(messenger.dialogStarts.last(), "/data/CSV (*.csv)");
    ui::click(d.cmdEsplora[2]);
    EXPECT_EQ(d.txtDBMSName[2]->text(), "/data/Zucchetti");

    messenger.fileAnswers = {"/data/items.txt"};
    ui::click(d.cmdEsploraBis[4]);
    EXPECT_EQ(messenger.dialogFilters.last(), "Text File (*.txt)|*.txt");
    EXPECT_EQ(d.PCtoTermdb[4]->text(), "/data/items.txt");

    ASSERT_TRUE(ui::choose(d.CmbDBMSType[2], "PostgreSQL"));
    EXPECT_FALSE(d.cmdEsplora[2]->isEnabled());
}

TEST_F(OptionsTest, PortShowsTheDeviceItStandsFor)
{
    const QString present = home.file("ttyFake7");
    writeFile(present, "");
    qputenv("VENDRIX_COM7", present.toLocal8Bit());
    writeFile(Paths::portsFile(), "Com3=/dev/vendrix-no-such-device\n");
    frmOptions &d = open();
    EXPECT_EQ(d.lblComDevice[1]->text(),
              "/dev/ttyS0" + QString(QFile::exists("/dev/ttyS0") ? "" : " (does not exist)"));
    ASSERT_TRUE(ui::choose(d.CmbComPort[1], "Com7"));
    EXPECT_EQ(d.lblComDevice[1]->text(), present);
    ASSERT_TRUE(ui::choose(d.CmbComPort[1], "Com3"));
    EXPECT_EQ(d.lblComDevice[1]->text(), "/dev/vendrix-no-such-device (does not exist)");
    ASSERT_TRUE(ui::choose(d.CmbComPort[1], "None"));
    EXPECT_EQ(d.lblComDevice[1]->text(), "(no device)");
    // A port whose device is missing is still saved as chosen.
    ASSERT_TRUE(ui::choose(d.CmbComPort[1], "Com3"));
    ui::click(d.cmdOK);
    EXPECT_EQ(saved("Com(1)", "Port"), "Com3");
    qunsetenv("VENDRIX_COM7");
}

TEST_F(OptionsTest, ChoosingATabPutsTheFocusOnItsFirstControl)
{
    frmOptions &d = open();
    d.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
    for (int i : {3, 2, 4, 1}) {
        ui::chooseTab(d.tabChannels, i - 1);
        EXPECT_EQ(QApplication::focusWidget(), d.CmbProtocolType[i]) << i;
    }
    ui::chooseTab(d.tabOptions, 1);
    for (int k : {4, 2, 5}) {
        ui::chooseTab(d.tabFiles, k - 1);
        EXPECT_EQ(QApplication::focusWidget(), d.PCtoTermdb[k]) << k;
    }
}

TEST_F(OptionsTest, FitsTheScreenOnEveryTab)
{
    frmOptions &d = open();
    const QSize size = d.sizeHint().expandedTo(d.minimumSizeHint());
    EXPECT_LE(size.width(), 1366);
    EXPECT_LE(size.height(), 700); // 768 less a title bar and a panel
    EXPECT_EQ(d.tabOptions->tabText(0), "Comm Settings");
    EXPECT_EQ(d.tabOptions->tabText(1), "UpLoad Files");
    EXPECT_EQ(d.tabOptions->tabText(2), "Miscellaneous");
    EXPECT_EQ(d.tabChannels->count(), 4);
    EXPECT_EQ(d.tabFiles->count(), 5);

    // With VENDRIX_SCREENSHOT_DIR set, a picture of every tab goes there.
    const QString dir = qEnvironmentVariable("VENDRIX_SCREENSHOT_DIR");
    if (dir.isEmpty())
        return;
    d.resize(size);
    auto shoot = [&](const QString &name) {
        QCoreApplication::processEvents();
        d.grab().save(dir + "/" + name + ".png");
    };
    for (int i = 0; i < 4; ++i) {
        d.tabOptions->setCurrentIndex(0);
        d.tabChannels->setCurrentIndex(i);
        shoot(QStringLiteral("options-channel%1").arg(i + 1));
    }
    d.tabOptions->setCurrentIndex(1);
    for (int k = 0; k < 5; ++k) {
        d.tabFiles->setCurrentIndex(k);
        shoot(QStringLiteral("options-file%1").arg(k + 1));
    }
    d.tabOptions->setCurrentIndex(2);
    shoot("options-misc");
    // The whole screen with the dialog on it.
    d.tabOptions->setCurrentIndex(0);
    d.tabChannels->setCurrentIndex(0);
    d.move(QPoint(0, 0));
    QTest::qWait(300);
    d.screen()->grabWindow(0).save(dir + "/options-screen.png");
    ui::whenModal<frmSettingModem>([&](frmSettingModem *m) {
        QCoreApplication::processEvents();
        m->grab().save(dir + "/options-modem.png");
        m->accept();
    });
    d.tabOptions->setCurrentIndex(0);
    ui::click(d.cmdSettingModem[1]);
}

// Mapping a port present to a ComN of ports.ini: the ComN that names it
// already, else the first one nothing else claims, written beside the
// lines the file holds.
TEST(PortMapping, ChoosesTheComThatNamesThePortElseTheFirstFreeOne)
{
    TempHome home;
    const QString device = home.file("ttyUSB9");
    writeFile(device, "");
    const QString byId = home.file("usb-Maker_Adapter_A1-if00-port0");
    ASSERT_TRUE(QFile::link(device, byId));
    // The first ComN that no line, no variable and no device claims.
    auto firstFree = [] {
        for (int n = 1; n <= 9; ++n)
            if (Paths::comDevice(n) == QStringLiteral("/dev/ttyS%1").arg(n - 1) && !QFile::exists(Paths::comDevice(n)))
                return n;
        return 0;
    };
    const QByteArray others = "# adapters\nCom2=/dev/vendrix-absent";
    struct Case {
        const char *what;
        QByteArray portsIni; // before
        QByteArray env;      // VENDRIX_COM6 when not empty
        PresentPort port;
        int expected;     // 0: refused, -1: the first free one
        QByteArray after; // ports.ini after ("=" unchanged, "N" the line of the first free one added)
    };
    const PresentPort stable{device, byId, "Adapter", "Maker", "A1"};
    const PresentPort bare{device, {}, {}, {}, {}};
    QByteArray full;
    for (int n = 1; n <= 9; ++n)
        full += QStringLiteral("Com%1=/dev/vendrix-absent%1\n").arg(n).toLatin1();
    const Case cases[] = {
        {"named by its stable name", "Com4=" + byId.toLocal8Bit() + "\n", {}, stable, 4, "="},
        {"named by its device", "Com5=" + device.toLocal8Bit() + "\n", {}, stable, 5, "="},
        {"named by a variable", "", device.toLocal8Bit(), stable, 6, "="},
        {"new, by its stable name, other lines kept",
         others,
         {},
         stable,
         -1,
         others + "\nComN=" + byId.toLocal8Bit() + "\n"},
        {"new, without a stable name", "", {}, bare, -1, "ComN=" + device.toLocal8Bit() + "\n"},
        {"none free", full, {}, stable, 0, "="},
        // Com1 names a device by its first line: an empty later one frees nothing.
        {"an empty second line",
         "Com1=/dev/vendrix-absent\nCom1=\n",
         {},
         bare,
         -1,
         "Com1=/dev/vendrix-absent\nCom1=\nComN=" + device.toLocal8Bit() + "\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(Paths::portsFile());
        if (!c.portsIni.isEmpty())
            writeFile(Paths::portsFile(), c.portsIni);
        if (!c.env.isEmpty())
            qputenv("VENDRIX_COM6", c.env);
        const int expected = c.expected < 0 ? firstFree() : c.expected;
        if (c.expected < 0) {
            ASSERT_NE(expected, 0) << "every /dev/ttyS0..8 exists here";
        }
        QByteArray after = c.after == "=" ? c.portsIni : c.after;
        after.replace("ComN=", "Com" + QByteArray::number(expected) + "=");
        QString why;
        EXPECT_EQ(MapPortToCom(c.port, &why), expected);
        EXPECT_EQ(readFile(Paths::portsFile()), after);
        if (expected == 0)
            EXPECT_TRUE(why.contains(Paths::portsFile())) << why.toStdString();
        else
            EXPECT_EQ(QFileInfo(Paths::comDevice(expected)).canonicalFilePath(), device);
        qunsetenv("VENDRIX_COM6");
    }
    // A ports.ini that cannot be written is said, and nothing is mapped.
    QFile::remove(Paths::portsFile());
    ASSERT_TRUE(QDir().mkpath(Paths::portsFile()));
    QString why;
    EXPECT_EQ(MapPortToCom(stable, &why), 0);
    EXPECT_TRUE(why.contains(Paths::portsFile()) && why.contains("cannot be")) << why.toStdString();
}

// The list of the ports present, over a real pseudo-terminal: choosing one
// maps it and chooses its ComN; OK saves that ComN, and the collector finds
// the device through it.
TEST_F(OptionsTest, PresentPortListMapsTheChosenPortToAComN)
{
    PtyPair pair;
    if (!pair.isReady())
        GTEST_SKIP() << pair.errorText().toStdString();
    const QString device = QFileInfo(pair.pcEnd()).canonicalFilePath();
    frmOptions &d = open();
    d.ShowPresentPorts({{device, pair.pcEnd(), "Pseudo-terminal", "socat", {}}});
    ASSERT_EQ(d.cmbPresentPort[2]->count(), 2);
    EXPECT_TRUE(d.cmbPresentPort[2]->itemText(1).startsWith(device + " - Pseudo-terminal, socat"))
        << d.cmbPresentPort[2]->itemText(1).toStdString();
    EXPECT_EQ(d.cmbPresentPort[2]->itemData(1, Qt::ToolTipRole).toString(), pair.pcEnd());

    ui::reveal(d.cmbPresentPort[2]);
    ui::chooseIndex(d.cmbPresentPort[2], 1);
    QCoreApplication::processEvents();
    const QString com = d.CmbComPort[2]->currentText();
    ASSERT_TRUE(com.startsWith("Com")) << com.toStdString();
    EXPECT_EQ(Paths::comDevice(com), pair.pcEnd());
    EXPECT_EQ(d.lblComDevice[2]->text(), pair.pcEnd());
    EXPECT_TRUE(readFile(Paths::portsFile()).contains((com + "=" + pair.pcEnd()).toLocal8Bit()));
    // Every channel's list names the ComN now; the ComN entry says what it stands for.
    EXPECT_TRUE(d.cmbPresentPort[1]->itemText(1).endsWith("(" + com + ")"));
    EXPECT_EQ(d.CmbComPort[1]->itemData(d.CmbComPort[1]->findText(com), Qt::ToolTipRole).toString(),
              com + " = " + pair.pcEnd() + " (ports.ini)");
    // Chosen again: the same ComN, no second line.
    ui::chooseIndex(d.cmbPresentPort[3], 1);
    EXPECT_EQ(d.CmbComPort[3]->currentText(), com);
    EXPECT_EQ(readFile(Paths::portsFile()).count("=" + pair.pcEnd().toLocal8Bit()), 1);

    ui::click(d.cmdOK);
    EXPECT_EQ(saved("Com(2)", "Port"), com);
}

// The address, port and interval boxes show their widest value whole
// ("255", "65535", "60"), at the dialog's smallest size too.
TEST_F(OptionsTest, AddressBoxesShowTheirWidestValueWhole)
{
    frmOptions &d = open();
    for (const QSize size : {d.sizeHint(), d.minimumSizeHint()}) {
        d.resize(size);
        QCoreApplication::processEvents();
        for (int p = 0; p < 6; ++p) {
            QLineEdit *box = p < 5 ? d.IP[1][p] : d.txtComAutoSec[1];
            const QString widest = p < 4 ? "255" : p == 4 ? "65535" : "60";
            box->setText(widest); // the caret at its end
            QCoreApplication::processEvents();
            const int start = box->inputMethodQuery(Qt::ImCursorRectangle).toRect().center().x()
                              - box->fontMetrics().horizontalAdvance(widest);
            EXPECT_GE(start, box->contentsRect().left()) << p << " at " << size.width() << "x" << size.height();
        }
    }
}

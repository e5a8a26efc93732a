// The options dialog and the modem window, driven with mouse and keyboard
// on the offscreen platform, over a real settings file in a fresh home.
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

// A stored text that is none of a list's entries is shown as it is and
// saved unchanged by "OK" (the original put the first entry in its place);
// choosing an entry replaces it.
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

    ui::click(d.cmdOK);
    expectSaved({
        {"Com(1)", "Port", "Com7"},
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
        {"DBMS(3)", "Policy", "Sometimes"},
    });

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

TEST_F(OptionsTest, OkWithoutEditsKeepsEveryValueInTheDialogsForm)
{
    stored({{"Com(2)", "ConnType", "TCP"},
            {"Com(2)", "IP1", "192"},
            {"Com(2)", "IP2", " 168"},
            {"Com(2)", "IP5", "4001"},
            {"Com(2)", "ResetModem", "ATZ"},
            {"DBMS(4)", "Name", " /tmp/x.txt "},
            {"ExtFile(3)", "DelAfterSend", " 0"},
            {"ExtFile(3)", "isZucchetti", " 1"},
            {"ExtFile(3)", "MaxLenght", "40"},
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
    EXPECT_EQ(d.ComboKey->currentText(), "HKEY_USERS");
    ui::click(d.cmdOK);

    expectSaved({
        {"Com(2)", "ConnType", "TCP"},
        {"Com(2)", "IP1", "192"},
        {"Com(2)", "IP2", "168"},
        {"Com(2)", "IP5", "4001"},
        {"Com(2)", "ResetModem", "ATZ"},
        {"Com(2)", "InitModem", "ATE0V1S0=1L0"},
        {"Com(1)", "Port", "Com1"},
        {"Com(1)", "Auto", "0"},
        {"Com(1)", "AutoSec", "02"},
        {"DBMS(4)", "Name", "/tmp/x.txt"},
        {"ExtFile(3)", "DelAfterSend", "0"},
        {"ExtFile(3)", "IsZucchetti", "1"},
        {"ExtFile(3)", "MaxLenght", "40"},
        {"ExtFile(4)", "DelAfterSend", "1"},
        {"ExtFile(4)", "IsZucchetti", "0"},
        {"Misc", "RunIconized", "True"},
        {"Misc", "RunNormal", "False"},
        {"Misc", "RunMinimized", "False"},
        {"Misc", "ChiavePC", "HKEY_USERS"},
        {"Misc", "ProfileMode", "1"},
    });
    EXPECT_EQ(settings.Com[2].IP2, "168");
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

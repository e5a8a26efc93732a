#include "TestSupport.h"
#include "platform/Paths.h"
#include "settings/IniStore.h"
#include "settings/OptionsForm.h"
#include "settings/Settings.h"
#include "settings/SettingsCheck.h"

#include <QFileInfo>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <vector>

using namespace vx;

TEST(SettingsStore, FreshHomeGetsEveryKeyWithDefaults)
{
    test::TempHome home;
    IniStore store(Paths::settingsFile());
    Settings s;
    LoadSettings(store, s);

    EXPECT_EQ(store.keyCount(), 4 * 17 + 4 * 5 + 5 * 4 + 7);
    IniStore reread(Paths::settingsFile());
    EXPECT_EQ(reread.keyCount(), 115);
    EXPECT_EQ(reread.read("Com(1)", "Port", "?"), "Com1");
    for (int n = 2; n <= 4; ++n)
        EXPECT_EQ(reread.read(ComSection(n), "Port", "?"), "None");
    EXPECT_EQ(reread.read("Com(3)", "InitModem", "?"), "ATE0V1S0=1L0");
    EXPECT_EQ(reread.read("Com(3)", "AutoSec", "?"), "00");
    EXPECT_EQ(reread.read("DBMS(2)", "Name", "?"), home.file("VdxPC.txt"));
    EXPECT_EQ(reread.read("ExtFile(4)", "Name", "?"), home.file("ReceivGo.txt"));
    EXPECT_EQ(reread.read("ExtFile(1)", "DelAfterSend", "?"), " 1");
    EXPECT_EQ(reread.read("ExtFile(1)", "IsZucchetti", "?"), " 0");
    EXPECT_EQ(reread.read("Misc", "ProfileMode", "?"), "1");
    EXPECT_EQ(reread.read("Misc", "ChiavePC", "?"), "HKEY_CURRENT_USER");
    EXPECT_EQ(reread.read("Misc", "Password", "?"), "");

    // The file itself: literal section names, owner-only, keys in save order.
    const QByteArray text = test::readFile(Paths::settingsFile());
    EXPECT_TRUE(text.startsWith("[Com(1)]\nConnProtocol=ACK/NAK\nAuto=0\nAutoSec=00\nConnType=Serial\n"));
    EXPECT_TRUE(text.contains("[ExtFile(5)]\nName="));
    EXPECT_TRUE(text.contains("\nDelAfterSend= 1\nisZucchetti= 0\nMaxLenght=0\n"));
    EXPECT_TRUE(text.endsWith("ChiavePC=HKEY_CURRENT_USER\nPercorsoChiave=DataExchange\n"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(Paths::settingsFile()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(SettingsStore, ValuesAndRulesSurviveRoundTrip)
{
    test::TempHome home;
    test::writeFile(Paths::settingsFile(),
                    "; kept comment\n"
                    "[com(1)]\n"
                    "ip5=0\n"
                    "Speed= 19200 \n"
                    "OtherProgramKey=keep me\n"
                    "[ExtFile(2)]\n"
                    "DelAfterSend= 1\n"
                    "isZucchetti=1\n"
                    "[Misc]\n"
                    "ProfileMode= 1 \n"
                    "Password=  secret  \n"
                    "[Unknown Section]\n"
                    "x=y=z\n");
    IniStore store(Paths::settingsFile());
    Settings s;
    LoadSettings(store, s);

    EXPECT_EQ(s.Com[1].IP5, "3000");
    EXPECT_EQ(s.Com[1].Speed, " 19200 "); // used exactly as read
    EXPECT_EQ(s.ExtFile[2].DelAfterSend, " 1");
    EXPECT_EQ(s.ExtFile[2].IsZucchetti, "1"); // "isZucchetti" found as "IsZucchetti"
    EXPECT_EQ(s.Misc.ProfileMode, 1);
    EXPECT_EQ(s.Misc.Password, "secret");

    const QByteArray text = test::readFile(Paths::settingsFile());
    EXPECT_TRUE(text.startsWith("; kept comment\n[com(1)]\n"));
    EXPECT_TRUE(text.contains("\nip5=3000\n"));
    EXPECT_TRUE(text.contains("OtherProgramKey=keep me\n"));
    EXPECT_TRUE(text.contains("[Unknown Section]\nx=y=z\n"));
    EXPECT_TRUE(text.contains("DelAfterSend= 1\n"));
    EXPECT_TRUE(text.contains("Password=secret\n"));
    EXPECT_TRUE(text.contains("ProfileMode=1\n"));
    EXPECT_EQ(text.count("sZucchetti"), 5); // one per look-up file, no duplicate key

    // A second load changes nothing more, and bytes that are not UTF-8 stay.
    QByteArray latin1 = text;
    const int at = latin1.indexOf("Name=", latin1.indexOf("[DBMS(3)]"));
    latin1.replace(at, latin1.indexOf('\n', at) - at, "Name=/data/caff\xe8.txt");
    test::writeFile(Paths::settingsFile(), latin1);
    Settings again;
    LoadSettings(store, again);
    EXPECT_EQ(test::readFile(Paths::settingsFile()), latin1);
}

TEST(SettingsStore, ProfileModeParsing)
{
    test::TempHome home;
    IniStore store(Paths::settingsFile());
    const std::pair<const char *, int> cases[] = {{" 1 ", 1}, {"abc", 0}, {"0", 0},
                                                  {"1.4", 1}, {"2x", 2},  {"99999", 0}};
    for (const auto &[text, expected] : cases) {
        store.write("Misc", "ProfileMode", text);
        Settings s;
        LoadSettings(store, s);
        EXPECT_EQ(s.Misc.ProfileMode, expected) << text;
        EXPECT_EQ(store.read("Misc", "ProfileMode", "?"), QString::number(expected));
    }
}

TEST(SettingsStore, DamagedFilesLoadWhatTheyCan)
{
    test::TempHome home;
    // Each with the lines that set nothing, which the collector names.
    const std::pair<QByteArray, QStringList> damaged[] = {
        {QByteArray("[Com(1)]\nPort=Com4\n[DBMS(1"), {"[Com(1)] [DBMS(1"}}, // cut off in a header
        {QByteArray("[Com(1)]\nPort=Com4\nSpee"), {"[Com(1)] Spee"}},       // cut off in a key
        {QByteArray("\0\xff\xfe[Com(1)]\n=\n==\n[]\n[Com(1)]\nPort=Com4\n\x01junk\n; c\n\n", 45),
         {QString::fromUtf8(QByteArray("\0\xff\xfe[Com(1)]", 11)), "=", "==", "[Com(1)] \x01junk"}},
        {QByteArray("Port=Com9\n[Com(1)]\r\nPort=Com4\r\n"), {}}, // CR LF, key before any section
    };
    for (const auto &[content, withoutKey] : damaged) {
        test::writeFile(Paths::settingsFile(), content);
        IniStore store(Paths::settingsFile());
        Settings s;
        LoadSettings(store, s);
        EXPECT_EQ(s.Com[1].Port, "Com4");
        EXPECT_EQ(s.Com[2].Port, "None");
        // The result loads again to the same records.
        IniStore reread(Paths::settingsFile());
        Settings t;
        LoadSettings(reread, t);
        EXPECT_EQ(t.Com[1].Port, "Com4");
        EXPECT_EQ(reread.keyCount() >= 115, true);
        EXPECT_EQ(reread.linesWithoutKey(), withoutKey);
    }
}

TEST(SettingsStore, SeesChangesMadeByOthersAndNeverSplitsLines)
{
    test::TempHome home;
    IniStore store(Paths::settingsFile());
    store.write("Misc", "ChiavePC", "HKEY_USERS");
    EXPECT_EQ(store.read("misc", "chiavepc", ""), "HKEY_USERS");

    IniStore other(Paths::settingsFile());
    other.write("Misc", "ChiavePC", "HKEY_CURRENT_USER");
    EXPECT_EQ(store.read("Misc", "ChiavePC", ""), "HKEY_CURRENT_USER");

    store.write("Misc", "Multi", "one\ntwo");
    IniStore reread(Paths::settingsFile());
    EXPECT_EQ(reread.read("Misc", "Multi", ""), "one two");
    EXPECT_FALSE(reread.contains("", "two"));
}

TEST(SettingsFlags, NumbersAndBooleans)
{
    EXPECT_TRUE(DelAfterSendOn(" 1"));
    EXPECT_TRUE(DelAfterSendOn("1"));
    EXPECT_FALSE(DelAfterSendOn("0"));
    EXPECT_FALSE(DelAfterSendOn("True"));
    EXPECT_FALSE(DelAfterSendOn("12"));

    EXPECT_FALSE(IsZucchettiOn(" 0"));
    EXPECT_FALSE(IsZucchettiOn("0 "));
    EXPECT_TRUE(IsZucchettiOn("1"));
    EXPECT_TRUE(IsZucchettiOn(""));
    EXPECT_TRUE(IsZucchettiOn("abc"));

    EXPECT_TRUE(BoolText("1"));
    EXPECT_TRUE(BoolText("True"));
    EXPECT_TRUE(BoolText("-1"));
    EXPECT_FALSE(BoolText("0"));
    EXPECT_FALSE(BoolText("False"));
    EXPECT_FALSE(BoolText(""));

    ChannelSettings c;
    c.Auto = "1";
    c.AutoSec = "00";
    EXPECT_FALSE(AutoCollectionOn(c));
    c.AutoSec = "30";
    EXPECT_TRUE(AutoCollectionOn(c));
    c.Auto = "0";
    EXPECT_FALSE(AutoCollectionOn(c));

    EXPECT_EQ(NumericValue("  12.5abc"), 12.5);
    EXPECT_EQ(NumericValue("-3"), -3.0);
    EXPECT_EQ(NumericValue("x1"), 0.0);
    EXPECT_EQ(NumericValue("."), 0.0);
}

TEST(OptionsRules, IntervalTextRoundsAndLimits)
{
    const struct {
        const char *typed;
        const char *saved;
    } cases[] = {{" 7 ", "07"},  {"2.5", "02"},  {"3.5", "04"},
                 {"59.6", "60"}, {"-5", "02"},   {"99999999999999999999", "60"},
                 {"abc", "02"},  {"12abc", "12"}};
    for (const auto &c : cases)
        EXPECT_EQ(OptionsForm::AutoSecText(QString::fromLatin1(c.typed)), QLatin1String(c.saved)) << c.typed;
}

// The defaults are all known; each mistake is named by section, key and
// value, with the accepted value it resembles. Values are kept as read.
TEST(SettingsCheck, UnknownValuesAreNamedWithTheirHint)
{
    test::TempHome home;
    EXPECT_TRUE(UnknownSettingValues(Settings::defaults()).empty());
    struct Case {
        std::function<void(Settings &)> change;
        QString section, key, value, hint;
    };
    const std::vector<Case> cases = {
        {[](Settings &s) { s.Com[2].ConnType = "tcp"; }, "Com(2)", "ConnType", "tcp", "TCP"},
        {[](Settings &s) { s.Com[1].Parity = "pari"; }, "Com(1)", "Parity", "pari", "Pari"},
        {[](Settings &s) { s.Com[1].Port = "/dev/ttyUSB0"; }, "Com(1)", "Port", "/dev/ttyUSB0", ""},
        {[](Settings &s) { s.DBMS[3].Type = "SQLite"; }, "DBMS(3)", "Type", "SQLite", ""},
        {[](Settings &s) { s.DBMS[1].Policy = "append"; }, "DBMS(1)", "Policy", "append", "Append"},
        {[](Settings &s) {
             s.Com[3].Auto = "1";
             s.Com[3].AutoSec = "00";
         },
         "Com(3)", "AutoSec", "00", ""},
        {[](Settings &s) { s.Misc.RunIconized = "yes"; }, "Misc", "RunIconized", "yes", ""},
        {[](Settings &s) {
             s.Com[4].ConnType = "TCP";
             s.Com[4].IP1 = "10.0";
         },
         "Com(4)", "IP1", "10.0", ""},
    };
    for (const Case &c : cases) {
        Settings s = Settings::defaults();
        c.change(s);
        const std::vector<SettingFinding> found = UnknownSettingValues(s);
        ASSERT_EQ(found.size(), 1u) << c.key.toStdString();
        EXPECT_EQ(found[0].section, c.section);
        EXPECT_EQ(found[0].key, c.key);
        EXPECT_EQ(found[0].value, c.value);
        EXPECT_EQ(found[0].hint, c.hint);
        EXPECT_TRUE(found[0].text().startsWith(QStringLiteral("[%1] %2=%3 ").arg(c.section, c.key, c.value)));
    }
    // Blanks around a word the program trims are no mistake; the line
    // settings of a channel without a port are not looked at.
    Settings s = Settings::defaults();
    s.Com[1].ConnType = " TCP ";
    s.Com[2].Speed = "fast";
    EXPECT_TRUE(UnknownSettingValues(s).empty());
}

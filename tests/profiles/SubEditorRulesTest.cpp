// The rules of the communication settings and look-up link editors, without
// a window.
#include "profiles/CommEditRules.h"
#include "profiles/LinkEditRules.h"

#include <gtest/gtest.h>
#include <set>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

using namespace vx;

TEST(RecordStructureRules, SlotsMatchItemsByTheirNumber)
{
    ProfileFunction function = ProfileSet().Functions[0];
    function.Fields[3].Enabled = 0;
    RecordStructure record;
    const char *stored[] = {"8", " 02 Time", "11", "abc", "", "-1", "26", "016", "1x", "27"};
    for (int i = 0; i < 10; ++i)
        record[i] = QString::fromLatin1(stored[i]);
    record[30] = QStringLiteral("01"); // beyond the stored record
    RecordStructureList list(function);
    list.load(record);
    // "11" is field 4, which is not enabled: kept and marked; "abc" reads
    // as 0 and "27" is beyond the codes: no item.
    EXPECT_EQ(list.chosen(), QStringList({"08 Field 1", "02 Time", "11 Field 4 (field not enabled)", "26 Check Digit",
                                          "16 Constant 1", "01 Date"}));
    list.store(record);
    EXPECT_EQ(record[0], QStringLiteral("08"));
    EXPECT_EQ(record[2], QStringLiteral("11"));
    EXPECT_EQ(record[5], QStringLiteral("01"));
    for (int i = 6; i < kStoredRecordSlots; ++i)
        EXPECT_EQ(record[i], QString()) << i;
    EXPECT_EQ(record[30], QStringLiteral("01"));
}

TEST(RecordStructureRules, TwentyFiveItemsAtMostYetAFullFileIsKept)
{
    ProfileFunction function;
    RecordStructure record;
    for (int i = 0; i < kStoredRecordSlots; ++i)
        record[i] = QStringLiteral("%1").arg(i + 1, 2, 10, QLatin1Char('0'));
    RecordStructureList list(function);
    list.load(record);
    EXPECT_EQ(list.chosen().size(), 26);
    EXPECT_FALSE(list.add(0));
    EXPECT_TRUE(list.remove(25));
    EXPECT_FALSE(list.add(0));
    EXPECT_TRUE(list.remove(0));
    EXPECT_TRUE(list.add(0));
    EXPECT_FALSE(list.add(-1));
    EXPECT_FALSE(list.remove(25));
    RecordStructure back;
    list.store(back);
    EXPECT_EQ(back[0], QStringLiteral("02"));
    EXPECT_EQ(back[24], QStringLiteral("01"));
    EXPECT_EQ(back[25], QString());
}

TEST(CommRules, SpeedListsMapByRate)
{
    EXPECT_EQ(SpeedItems(false).size(), 8);
    EXPECT_EQ(SpeedItems(true), QStringList({"115200", "57600", "38400", "19200", "9600", "4800", "2400"}));
    for (qint16 speed = 0; speed < 8; ++speed) {
        EXPECT_EQ(SpeedListPosition(false, speed), speed);
        const int shown = SpeedListPosition(true, speed);
        if (speed == 1) {
            EXPECT_EQ(shown, -1);
        } else {
            EXPECT_EQ(SpeedFromListPosition(true, shown), speed);
            EXPECT_EQ(SpeedItems(true).at(shown), SpeedItems(false).at(speed));
        }
    }
    EXPECT_EQ(SpeedListPosition(false, 8), -1);
    EXPECT_EQ(SpeedFromListPosition(true, 7), -1);
}

TEST(CommRules, PortTabs)
{
    const int tabForPort[] = {0, 0, 1, 2, 3, 4, 0};
    for (int port = 0; port <= 6; ++port)
        EXPECT_EQ(TabForPort(qint16(port)), tabForPort[port]) << port;
    for (qint16 port = 0; port <= 5; ++port) {
        EXPECT_EQ(PortAfterTab(0, port), 1);
        EXPECT_EQ(PortAfterTab(kKeyboardTab, port), port);
        EXPECT_EQ(PortAfterTab(4, port), 5);
    }
}

TEST(CommRules, NumberBoxValues)
{
    const struct {
        const char *text;
        int value; // -1: nothing stored
    } cases[] = {{"", 0},     {"   ", 0}, {"0", 0},    {" 42 ", 42}, {"32767", 32767}, {"32768", -1},
                 {"-13", -1}, {"+5", -1}, {"1e3", -1}, {"12a", -1},  {"abc", -1},      {"4 2", -1}};
    for (const auto &c : cases) {
        const auto value = NumberBoxValue(QString::fromLatin1(c.text));
        EXPECT_EQ(value ? int(*value) : -1, c.value) << '"' << c.text << '"';
    }
}

TEST(CommRules, SeparatorCharacters)
{
    const struct {
        int code;
        QString character;
    } cases[] = {{-1, {}},  {0, {}},  {1, QString(QChar(1))}, {44, ","}, {59, ";"}, {254, QString(QChar(254))},
                 {255, {}}, {300, {}}};
    for (const auto &c : cases)
        EXPECT_EQ(SeparatorCharacter(c.code), c.character) << c.code;

    QString character = QStringLiteral(",");
    qint16 code = 44;
    SeparatorPair pair{character, code, true};
    EXPECT_EQ(pair.codeEdited(QStringLiteral("x")), QString());
    EXPECT_EQ(code, 44);
    EXPECT_EQ(pair.characterEdited(QStringLiteral("\u20ac")), QStringLiteral("44")); // no single-byte code
    EXPECT_EQ(character, QStringLiteral(","));
    EXPECT_EQ(pair.characterEdited(QStringLiteral("|x")), QStringLiteral("124"));
    EXPECT_EQ(code, 124);
    EXPECT_EQ(character, QStringLiteral("|x"));
}

TEST(LinkRules, EveryBarcodeBoxIsItsOwnBit)
{
    std::set<std::pair<int, int>> bits;
    for (int box = 0; box < kBarcodeBoxes; ++box) {
        const BarcodeBox &b = BarcodeBoxes()[box];
        EXPECT_TRUE(bits.insert({b.entry, b.bit}).second) << b.caption;
        BarcodeTable table = DefaultBarcodeTable();
        const bool was = BarcodeBoxTicked(table, box);
        SetBarcodeBox(table, box, !was);
        int changedEntries = 0;
        for (int e = 0; e < 28; ++e) {
            if (table[e] != DefaultBarcodeTable()[e]) {
                ++changedEntries;
                EXPECT_EQ(table[e] ^ DefaultBarcodeTable()[e], 1 << b.bit) << b.caption;
            }
        }
        EXPECT_EQ(changedEntries, 1) << b.caption;
        SetBarcodeBox(table, box, was);
        EXPECT_EQ(table, DefaultBarcodeTable()) << b.caption;
    }
}

TEST(LinkRules, ChoicePositionsAndKeys)
{
    const struct {
        const char *text;
        int position;
    } retrieve[] = {{"0", 0}, {"3", 3}, {" 8", 8}, {"9", -1}, {"-1", -1}, {"", 0}, {"x", 0}};
    for (const auto &r : retrieve)
        EXPECT_EQ(RetrieveChoicePosition(QString::fromLatin1(r.text)), r.position) << r.text;

    ExtFileLayout layout;
    layout.KeyTo = {QStringLiteral("4"), QStringLiteral("0"), QStringLiteral("x"), QStringLiteral("12b"), {}};
    const bool enabled[] = {true, false, false, true};
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(JoinKeyListEnabled(layout, k), enabled[k]) << k;

    ProfileSet set;
    EXPECT_EQ(LinkedLayout(set, set.Functions[0]), nullptr);
    set.Functions[0].ExtLink.FileNumber = 5;
    EXPECT_EQ(LinkedLayout(set, set.Functions[0]), &set.ExtFileLayouts[4]);

    EXPECT_TRUE(UpdateValueAccepted(QStringLiteral("12.5 kg \u00e8")));
    EXPECT_FALSE(UpdateValueAccepted(QStringLiteral("1,5")));
    EXPECT_FALSE(UpdateValueAccepted(QStringLiteral("a\tb")));
}

#include "store/RecordText.h"
#include "TestSupport.h"
#include "store/ErpDatabase.h"

#include <QSet>
#include <gtest/gtest.h>

using namespace vx;

TEST(Utilities, SplitRecordRules)
{
    auto f = SplitRecord("1;22;;4", ";");
    EXPECT_EQ(f[0], "1;22;;4");
    EXPECT_EQ(f[1], "1");
    EXPECT_EQ(f[2], "22");
    EXPECT_EQ(f[3], "");
    EXPECT_EQ(f[4], "4");
    for (int i = 5; i <= 21; ++i)
        EXPECT_TRUE(f[i].isEmpty()) << i;
    // A part without characters is a null value (a database gets NULL).
    EXPECT_TRUE(f[3].isNull());
    EXPECT_TRUE(f[5].isNull());

    // Multi-character and empty separators never match.
    EXPECT_EQ(SplitRecord("a<TAB>b", "<TAB>")[1], "a<TAB>b");
    EXPECT_EQ(SplitRecord("a b", "")[1], "a b");
    EXPECT_EQ(SplitRecord("a b", "Space")[1], "a b");
    // Leading and trailing separators give empty fields.
    f = SplitRecord(";x;", ";");
    EXPECT_EQ(f[1], "");
    EXPECT_EQ(f[2], "x");
    EXPECT_EQ(f[3], "");

    // More than 21 fields: nothing is lost or written out of bounds.
    QByteArray many;
    for (int i = 1; i <= 25; ++i)
        many += QByteArray::number(i) + (i < 25 ? ";" : "");
    f = SplitRecord(many, ";");
    EXPECT_EQ(f[20], "20");
    EXPECT_EQ(f[21], "21;22;23;24;25");
}

TEST(Utilities, ReplaceAllRules)
{
    EXPECT_EQ(ReplaceAll("A B  C", " ", ","), "A,B,,C");
    EXPECT_EQ(ReplaceAll("abc", "", ","), "abc");
    EXPECT_EQ(ReplaceAll("a<TAB>b\tc", "<TAB>", ","), "a,b\tc");
    EXPECT_EQ(ReplaceAll("aaa", "aa", "a"), "aa"); // not searched again
    EXPECT_EQ(ReplaceAll("xAx", "a", "-"), "xAx"); // case counts
    EXPECT_EQ(ReplaceAll("ababab", "ab", "abab"), "abababababab");
}

TEST(Utilities, TimeStampedNames)
{
    EXPECT_EQ(TimeStampedName("/data/VdxPC.txt", QTime(14, 5, 9)), "/data/VdxPC_140509.txt");
    EXPECT_EQ(TimeStampedName("/x/VdxPC.txt", QTime(9, 3, 7)), "/x/VdxPC_090307.txt");
    EXPECT_EQ(TimeStampedName("abc", QTime(0, 0, 0)), "_000000abc");

    test::TempHome home;
    const QString name = home.file("VdxPC.txt");
    EXPECT_EQ(UniqueTimeStampedName(name, QTime(14, 5, 9)), home.file("VdxPC_140509.txt"));
    test::writeFile(home.file("VdxPC_140509.txt"), "earlier");
    EXPECT_EQ(UniqueTimeStampedName(name, QTime(14, 5, 9)), home.file("VdxPC_140509_2.txt"));
    test::writeFile(home.file("VdxPC_140509_2.txt"), "earlier too");
    EXPECT_EQ(UniqueTimeStampedName(name, QTime(14, 5, 9)), home.file("VdxPC_140509_3.txt"));
}

TEST(Utilities, SplitPathRules)
{
    auto r = SplitPath("/data/db/table.dbf");
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.folder, "/data/db/");
    EXPECT_EQ(r.file, "table.dbf");
    r = SplitPath("table.dbf");
    EXPECT_FALSE(r.found);
    EXPECT_TRUE(r.folder.isEmpty());
    EXPECT_TRUE(r.file.isEmpty());
    r = SplitPath("/data/");
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.file, "");
}

TEST(Utilities, FieldValueOfNull)
{
    EXPECT_EQ(FieldValue(QVariant()), "");
    EXPECT_EQ(FieldValue(QVariant(QStringLiteral("x"))), "x");
}

// Every byte has exactly one character and comes back from it; the code
// page's own characters, and the C1 control of the same number for the five
// bytes it leaves undefined.
TEST(Utilities, Windows1252TextKeepsEveryByte)
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all += char(b);
    const QString text = FromWindows1252(all);
    ASSERT_EQ(text.size(), 256);
    EXPECT_EQ(ToWindows1252(text), all);
    EXPECT_EQ(QSet<QChar>(text.cbegin(), text.cend()).size(), 256);
    const struct {
        unsigned char byte;
        char16_t character;
    } cases[] = {{0x00, 0x0000}, {0x41, 0x0041}, {0x80, 0x20AC}, {0x81, 0x0081}, {0x8D, 0x008D}, {0x8F, 0x008F},
                 {0x90, 0x0090}, {0x93, 0x201C}, {0x9D, 0x009D}, {0x9F, 0x0178}, {0xE9, 0x00E9}, {0xFF, 0x00FF}};
    for (const auto &c : cases)
        EXPECT_EQ(text.at(c.byte).unicode(), c.character) << int(c.byte);
    EXPECT_EQ(Windows1252ToUtf8("caf\xE9 \x80"), QByteArray("caf\xC3\xA9 \xE2\x82\xAC"));
    EXPECT_EQ(ToWindows1252(QStringLiteral("\u4E00")), QByteArray("?"));
    EXPECT_EQ(EscapeControls(QStringLiteral("a") + QChar(0) + QString::fromUtf16(u"b\u0081\u20AC\r\n")),
              QString::fromUtf16(u"a\\x00b\\x81\u20AC\\x0d\\x0a"));
    EXPECT_EQ(EscapeControls(QStringLiteral("a\r\n\tb\x01"), true), QStringLiteral("a\r\n\tb\\x01"));
}

#include "store/ErpArticleExport.h"
#include "ErpTestSupport.h"
#include "TestSupport.h"
#include "platform/CheckCharacters.h"
#include "platform/Messenger.h"

#include <QFileInfo>
#include <gtest/gtest.h>

using namespace vx;
using namespace vx::test;

namespace {

struct ErpExportFixture : ::testing::Test {
    TempHome home;
    ScriptedMessenger messenger;
    int terminated = -1;
    QStringList logged;
    ErpArticleExport exporter{ErpContext{messenger, [this](int code) { terminated = code; },
                                         [this](const QString &line, int) { logged << line; }}};
    QString db = home.file(QStringLiteral("erp.db"));

    void SetUp() override { ASSERT_EQ(makeDemoErp(db, true), QString()); }

    // line + its check characters
    static QByteArray checked(const QByteArray &line) { return line + XorChecksum(line); }
};

} // namespace

TEST_F(ErpExportFixture, ThreeArticlesThenEof)
{
    sqlite(db,
           QStringLiteral(
               "INSERT INTO art VALUES ('8001234567890', 'PENNA A SFERA BLU', 'X');"
               "INSERT INTO art VALUES ('9ARTICOLO-LUNGHISSIMO', 'DESCRIZIONE MOLTO LUNGA CHE SUPERA I TRENTA', 'Y');"
               "INSERT INTO art VALUES ('A''B', NULL, NULL);"
               "INSERT INTO lis VALUES ('8001234567890', 125);"
               "INSERT INTO lis VALUES ('9ARTICOLO-LUNGHISSIMO', 1249.5);"));

    // The view orders by code: "800...", "9AR...", "A'B".
    const QByteArray expected[] = {
        "8001234567890  0000125PENNA A SFERA BLU             ",
        "9ARTICOLO-LUNGH0001250DESCRIZIONE MOLTO LUNGA CHE SU",
        "A'B            0000000                              ",
    };
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i + 1);
        ASSERT_EQ(expected[i].size(), 52);
        EXPECT_EQ(exporter.ArticleLine(db, i + 1, 1), checked(expected[i]));
    }
    EXPECT_EQ(exporter.ArticleLine(db, 4, 1), QByteArray("EOF"));
    EXPECT_EQ(exporter.ArticleLine(db, 5, 1), QByteArray("EOF"));
    EXPECT_TRUE(messenger.shown.empty());
}

TEST_F(ErpExportFixture, EmptyListIsEofAtOnce)
{
    EXPECT_EQ(exporter.ArticleLine(db, 1), QByteArray("EOF"));
    EXPECT_TRUE(messenger.shown.empty());
    EXPECT_EQ(terminated, -1);
}

TEST_F(ErpExportFixture, DemoDatabaseExportsItsArticles)
{
    const QString demo = home.file(QStringLiteral("demo.db"));
    ASSERT_EQ(makeDemoErp(demo), QString());
    EXPECT_EQ(exporter.ArticleLine(demo, 1), checked("8001234567890  0000125PENNA A SFERA BLU             "));
    for (int i = 2; i <= 5; ++i)
        EXPECT_EQ(exporter.ArticleLine(demo, i).size(), 54);
    EXPECT_EQ(exporter.ArticleLine(demo, 6), QByteArray("EOF"));
}

TEST_F(ErpExportFixture, LongListIsReadAcrossChunksAndLineOneRereads)
{
    // More articles than two chunks hold.
    const int count = 3 * ErpArticleExport::FirstChunk + 7;
    sqlite(db, QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1)"
                              " INSERT INTO art SELECT printf('A%06d', i), printf('ARTICOLO %d', i), NULL FROM n;"
                              " INSERT INTO lis SELECT ART_CODICE, rowid FROM art;")
                   .arg(count));
    auto line = [](int i) {
        return QByteArray("A") + QByteArray::number(i).rightJustified(6, '0') + QByteArray(8, ' ')
               + QByteArray::number(i).rightJustified(7, '0')
               + ("ARTICOLO " + QByteArray::number(i)).leftJustified(30, ' ');
    };
    for (int i = 1; i <= count; ++i) {
        const QByteArray got = exporter.ArticleLine(db, i, 2);
        if (got != checked(line(i))) {
            ADD_FAILURE() << "line " << i << ": " << got.constData();
            break;
        }
    }
    EXPECT_EQ(exporter.ArticleLine(db, count + 1, 2), QByteArray("EOF"));
    // A resend of an earlier line gives the same line.
    EXPECT_EQ(exporter.ArticleLine(db, 700, 2), checked(line(700)));

    // A new sending (line 1) sees articles added since.
    sqlite(db, QStringLiteral("INSERT INTO art VALUES ('B', 'NUOVO', NULL)"));
    EXPECT_EQ(exporter.ArticleLine(db, 1, 2), checked(line(1)));
    EXPECT_EQ(exporter.ArticleLine(db, count + 1, 2).left(15), QByteArray("B").leftJustified(15, ' '));
    EXPECT_EQ(exporter.ArticleLine(db, count + 2, 2), QByteArray("EOF"));
}

TEST_F(ErpExportFixture, SessionsKeepTheirOwnLists)
{
    const QString other = home.file(QStringLiteral("other.db"));
    ASSERT_EQ(makeDemoErp(other), QString());
    sqlite(db, QStringLiteral("INSERT INTO art VALUES ('ONLY', 'UNICO', NULL)"));

    EXPECT_EQ(exporter.ArticleLine(db, 1, 1).left(4), QByteArray("ONLY"));
    EXPECT_EQ(exporter.ArticleLine(other, 1, 2).left(13), QByteArray("8001234567890"));
    EXPECT_EQ(exporter.ArticleLine(db, 2, 1), QByteArray("EOF"));
    EXPECT_EQ(exporter.ArticleLine(other, 2, 2).left(13), QByteArray("8001234567906"));
}

TEST(ErpArticleLine, FieldsAreFormattedToTheirWidths)
{
    EXPECT_EQ(ErpArticleExport::FormatLine(QStringLiteral("C1"), 124.5, QStringLiteral("DUE\r\nRIGHE")),
              QByteArray("C1").leftJustified(15, ' ') + "0000125" + QByteArray("DUE  RIGHE").leftJustified(30, ' '));
    EXPECT_EQ(ErpArticleExport::FormatLine(QVariant(), QStringLiteral("37"), QVariant()),
              QByteArray(15, ' ') + "0000037" + QByteArray(30, ' '));
    EXPECT_EQ(ErpArticleExport::FormatLine(QStringLiteral("C"), QVariant(), QStringLiteral("D")).mid(15, 7),
              QByteArray("0000000"));
}

TEST(ErpArticleExport, MissingOrForeignDatabaseEndsTheProgramWithoutCreatingIt)
{
    TempHome home;
    const QString missing = home.file(QStringLiteral("nowhere.db"));
    const QString text = home.file(QStringLiteral("toTerm.txt"));
    writeFile(text, "ABC\r\nDEF\r\n");

    for (const QString &path : {missing, text}) {
        SCOPED_TRACE(path.toStdString());
        ScriptedMessenger messenger;
        int terminated = -1;
        ErpArticleExport exporter(
            ErpContext{messenger, [&](int code) { terminated = code; }, [](const QString &, int) {}});

        EXPECT_EQ(exporter.ArticleLine(path, 1), QByteArray("EOF"));
        ASSERT_EQ(messenger.shown.size(), 1u);
        EXPECT_EQ(messenger.shown[0].text,
                  QStringLiteral("WARNING, database ZUCCHETTI does not exist.\r\nCreate database and re-run program!"));
        EXPECT_GT(terminated, 0);
    }
    EXPECT_FALSE(QFileInfo::exists(missing));
    EXPECT_EQ(readFile(text), QByteArray("ABC\r\nDEF\r\n"));
}

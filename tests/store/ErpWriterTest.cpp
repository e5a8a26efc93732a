#include "store/ErpWriter.h"
#include "ErpTestSupport.h"
#include "TestSupport.h"
#include "platform/Messenger.h"

#include <QFileInfo>
#include <gtest/gtest.h>

using namespace vx;
using namespace vx::test;

namespace {

// A 50-character inventory record: rows of the document, row number,
// article code (padded to 13), quantity, unused, year, month, day, time.
QByteArray record(const QByteArray &rows, const QByteArray &row, const QByteArray &code,
                  const QByteArray &quantity = "00005", const QByteArray &date = "20240509",
                  const QByteArray &time = "1405")
{
    QByteArray r = rows + row + code.leftJustified(13, ' ', true) + quantity + "0001250" + "M" + date + time + "  ";
    EXPECT_EQ(r.size(), 50);
    return r;
}

struct ErpWriterFixture : ::testing::Test {
    TempHome home;
    ScriptedMessenger messenger;
    int terminated = -1;
    QStringList logged;
    ErpWriter writer{ErpContext{messenger, [this](int code) { terminated = code; },
                                [this](const QString &line, int) { logged << line; }}};
    // Characters that mean something in a URI must not disturb the opening.
    QString db = home.file(QStringLiteral("erp demo #1?50%.db"));

    void SetUp() override { ASSERT_EQ(makeDemoErp(db), QString()); }
};

} // namespace

TEST_F(ErpWriterFixture, RowOneStartsADocumentAndLaterRowsJoinIt)
{
    sqlite(db, QStringLiteral("INSERT INTO pet VALUES (5, 2); INSERT INTO pet VALUES (9, 4);"));

    // A row before any document of this run carries document 0.
    ASSERT_TRUE(writer.WriteRecord(record("00002", "00002", "8001234567906"), db, 1));
    EXPECT_EQ(writer.DocumentNumber(), 0);

    ASSERT_TRUE(writer.WriteRecord(record("00003", "00001", "8001234567890"), db, 1));
    EXPECT_EQ(writer.DocumentNumber(), 10);
    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT * FROM pet ORDER BY rowid")), QStringLiteral("5|2\n9|4\n10|3"));
    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT * FROM per WHERE per_riga = 1")),
              QStringLiteral("10|1|8001234567890|PENNA A SFERA BLU|CONFEZIONE DA 10|5|2024|5|9|1405|001"));

    // The next row, on another channel, adds a row only.
    ASSERT_TRUE(writer.WriteRecord(record("00003", "00002", "8001234567906", "00012", "20241231", "0930"), db, 2));
    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT count(*) FROM pet")), QStringLiteral("3"));
    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT * FROM per ORDER BY rowid")),
              QStringLiteral("0|2|8001234567906|QUADERNO A4 A RIGHE|80 FOGLI|5|2024|5|9|1405|001\n"
                             "10|1|8001234567890|PENNA A SFERA BLU|CONFEZIONE DA 10|5|2024|5|9|1405|001\n"
                             "10|2|8001234567906|QUADERNO A4 A RIGHE|80 FOGLI|12|2024|12|31|930|001"));
    EXPECT_TRUE(messenger.shown.empty());
}

TEST_F(ErpWriterFixture, FirstDocumentOfAnEmptyHeaderTableIsOne)
{
    ASSERT_TRUE(writer.WriteRecord(record("00001", "00001", "8001234567890"), db, 1));
    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT * FROM pet")), QStringLiteral("1|1"));
    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT per_progressivo FROM per")), QStringLiteral("1"));
    ASSERT_TRUE(writer.WriteRecord(record("00001", "00001", "8001234567890"), db, 1));
    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT group_concat(pet_progressivo) FROM pet")), QStringLiteral("1,2"));
}

TEST_F(ErpWriterFixture, ShortRecordIsRefusedUntouched)
{
    const QByteArray before = readFile(db);
    const QByteArray shortRecord = record("00001", "00001", "8001234567890").left(49);
    EXPECT_FALSE(writer.WriteRecord(shortRecord, db, 1));
    EXPECT_EQ(readFile(db), before);
    EXPECT_EQ(writer.DocumentNumber(), 0);
    EXPECT_TRUE(messenger.shown.empty());
    EXPECT_EQ(terminated, -1);
}

TEST_F(ErpWriterFixture, ArticleCodesAreBoundAsTheyAre)
{
    sqlite(db, QStringLiteral("INSERT INTO art VALUES ('O''BRIEN-01', 'TAZZA', 'BIANCA')"));

    // A quote in the code is stored and looked up as it is.
    ASSERT_TRUE(writer.WriteRecord(record("00002", "00001", "O'BRIEN-01"), db, 1));
    // A code that would widen a spliced condition finds nothing.
    ASSERT_TRUE(writer.WriteRecord(record("00002", "00002", "X' OR 'a'='a"), db, 1));
    // A code that is not an article: empty descriptions, not Null.
    ASSERT_TRUE(writer.WriteRecord(record("00002", "00003", "0000000000000"), db, 1));

    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT per_riga, '[' || per_codice_art || ']', per_descrizione1,"
                                        " per_descrizione2, per_descrizione1 IS NULL, per_descrizione2 IS NULL"
                                        " FROM per ORDER BY per_riga")),
              QStringLiteral("1|[O'BRIEN-01   ]|TAZZA|BIANCA|0|0\n"
                             "2|[X' OR 'a'='a ]|||0|0\n"
                             "3|[0000000000000]|||0|0"));
}

TEST_F(ErpWriterFixture, CodePaddedWithBlanksFindsItsArticle)
{
    sqlite(db, QStringLiteral("INSERT INTO art VALUES ('ABC', 'CORTO', NULL)"));
    ASSERT_TRUE(writer.WriteRecord(record("00001", "00001", "ABC"), db, 1));
    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT '[' || per_codice_art || ']', per_descrizione1, "
                                        "per_descrizione2 IS NULL FROM per")),
              QStringLiteral("[ABC          ]|CORTO|0"));
}

TEST_F(ErpWriterFixture, FailedWriteLeavesNoHeaderBehind)
{
    sqlite(db, QStringLiteral("INSERT INTO pet VALUES (4, 1); DROP TABLE per;"));
    EXPECT_FALSE(writer.WriteRecord(record("00001", "00001", "8001234567890"), db, 3));
    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT group_concat(pet_progressivo) FROM pet")), QStringLiteral("4"));
    EXPECT_EQ(writer.DocumentNumber(), 0);
    EXPECT_FALSE(logged.isEmpty());
    EXPECT_TRUE(messenger.shown.empty());
}

TEST_F(ErpWriterFixture, DocumentNumbersStopAtTheirLimit)
{
    sqlite(db, QStringLiteral("INSERT INTO pet VALUES (32767, 1)"));
    EXPECT_FALSE(writer.WriteRecord(record("00001", "00001", "8001234567890"), db, 1));
    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT count(*) FROM pet")), QStringLiteral("1"));
    EXPECT_EQ(sqlite(db, QStringLiteral("SELECT count(*) FROM per")), QStringLiteral("0"));
}

TEST(ErpWriter, MissingOrForeignDatabaseEndsTheProgramWithoutCreatingIt)
{
    TempHome home;
    const QString missing = home.file(QStringLiteral("nowhere.db"));
    const QString text = home.file(QStringLiteral("notes.db"));
    const QString empty = home.file(QStringLiteral("empty.db"));
    writeFile(text, "this is not a database\r\n");
    writeFile(empty, "");

    for (const QString &path : {missing, text, empty}) {
        SCOPED_TRACE(path.toStdString());
        ScriptedMessenger messenger;
        int terminated = -1;
        QStringList logged;
        ErpWriter writer(ErpContext{messenger, [&](int code) { terminated = code; },
                                    [&](const QString &line, int) { logged << line; }});
        const QByteArray before = readFile(path);

        EXPECT_FALSE(writer.WriteRecord(QByteArray(50, '1'), path, 1));
        ASSERT_EQ(messenger.shown.size(), 1u);
        EXPECT_EQ(messenger.shown[0].text,
                  QStringLiteral("WARNING, database ZUCCHETTI does not exist.\r\nCreate database and re-run program!"));
        // The kept box says nothing of which file: the log names it.
        ASSERT_EQ(logged.size(), 1);
        EXPECT_TRUE(logged[0].startsWith(QStringLiteral("The ERP database %1 does not exist").arg(path)))
            << logged[0].toStdString();
        EXPECT_GT(terminated, 0);
        EXPECT_EQ(readFile(path), before);
    }
    EXPECT_FALSE(QFileInfo::exists(missing));
}

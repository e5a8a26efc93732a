#include "RunningCollector.h"
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "collector/RegistryExchange.h"
#include "tools/simterm/SimTerminal.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

using namespace vx::test;
using namespace vx::sim;

TEST(ExchangeE2E, AutomaticCycleOverFiveFiles)
{
    TempHome home;
    SimTerminal terminal;
    ASSERT_TRUE(terminal.listenTcp());
    for (int k = 1; k <= 5; ++k)
        terminal.setDataFile(k, {QByteArray::number(k) + "-a", QByteArray::number(k) + "-b"});
    terminal.rules().onPutFile = [](int n) {
        SimTerminal::PutFileReply reply;
        if (n == 1) {
            reply.kind = SimTerminal::PutFileReply::GetFile;
            reply.file = 3;
        } else {
            reply.kind = SimTerminal::PutFileReply::Nak;
        }
        return reply;
    };
    writeFile(home.file("lookup3.txt"), "ART1\r\nLONGER ARTICLE 2\nART3\r\n");

    VendrixProcess vendrix(home.path());
    ASSERT_TRUE(vendrix.writeIni(
        VendrixProcess::Merged(VendrixProcess::TcpChannel(1, terminal.tcpPort(), home.file("cycle.txt")),
                               {{"Com(1)", {{"Auto", "1"}, {"AutoSec", "02"}}},
                                {"ExtFile(3)", {{"Name", home.file("lookup3.txt")}, {"DelAfterSend", " 1"}}}})));
    ASSERT_TRUE(vendrix.start());
    ASSERT_TRUE(terminal.waitForConnected(10000));

    ASSERT_TRUE(terminal.waitFor([&] { return terminal.removedFiles().size() >= 5; }, 20000))
        << terminal.transcript().join('\n').toStdString();
    EXPECT_EQ(terminal.removedFiles(), QList<int>({1, 2, 3, 4, 5}));
    ASSERT_EQ(terminal.lookupFiles().size(), 1u);
    const auto &lookup = terminal.lookupFiles().front();
    EXPECT_EQ(lookup.number, 3);
    EXPECT_TRUE(lookup.complete);
    EXPECT_EQ(lookup.lines, QList<QByteArray>({"ART1", "LONGER ARTICLE 2", "ART3"}));
    EXPECT_EQ(lookup.badChecks, 0);
    EXPECT_TRUE(waitUntil([&] { return !QFile::exists(home.file("lookup3.txt")); }, 3000)); // DelAfterSend " 1"
    EXPECT_EQ(readFile(home.file("cycle.txt")),
              QByteArray("1-a\r\n1-b\r\n2-a\r\n2-b\r\n3-a\r\n3-b\r\n4-a\r\n4-b\r\n5-a\r\n5-b\r\n"));

    // The order on the wire for the first file.
    const QStringList t = terminal.transcript();
    const int getdata1 = t.indexOf("PC  GETDATA1");
    ASSERT_GE(getdata1, 0);
    const int rmv1 = t.indexOf(QRegularExpression("PC  .*RMVDATA1"));
    const int put1 = t.indexOf("PC  PUTFILE1");
    const int bof = t.indexOf(QRegularExpression("PC  .*BOF"));
    const int getdata2 = t.indexOf("PC  GETDATA2");
    EXPECT_LT(getdata1, rmv1);
    EXPECT_LT(rmv1, put1);
    EXPECT_LT(put1, bof);
    EXPECT_LT(bof, getdata2);
    EXPECT_EQ(vendrix.terminate().code, 0);
}

TEST(ExchangeE2E, ErpTargetAndArticleList)
{
    TempHome home;
    const QString db = home.file("erp.db");
    const int made =
        QProcess::execute("bash", {QStringLiteral(VENDRIX_SOURCE_DIR) + "/store/demo-erp/make-demo-erp.sh", db});
    ASSERT_EQ(made, 0);

    RunningCollector r(home.path(), db,
                       {{"DBMS(1)", {{"Type", "Zucchetti"}}}, {"ExtFile(2)", {{"Name", db}, {"IsZucchetti", "1"}}}});
    ASSERT_TRUE(r.ready) << r.output();
    SimTerminal &terminal = r.terminal;

    // A document of one row, with its check characters.
    const QByteArray row = QByteArray("00001") + "00001" + QByteArray("8001234567890") + "00007" + "0001250" + "M"
                           + "20261206" + "1405" + "  ";
    ASSERT_EQ(row.size(), 50);
    SendOptions once;
    const auto result = terminal.sendTransfer({row}, once);
    EXPECT_TRUE(result.complete);

    // The article list as look-up file 2.
    terminal.requestLookupFile(2);
    ASSERT_TRUE(terminal.waitFor(
        [&] { return !terminal.lookupFiles().empty() && terminal.lookupFiles().back().complete; }, 10000))
        << terminal.transcript().join('\n').toStdString();
    const auto &lines = terminal.lookupFiles().back().lines;
    ASSERT_EQ(lines.size(), 5);
    for (const QByteArray &line : lines)
        EXPECT_EQ(line.size(), 52);
    EXPECT_TRUE(lines.front().startsWith("8001234567890  0000125PENNA A SFERA BLU"));
    EXPECT_EQ(r.vendrix.terminate().code, 0);

    QProcess sqlite;
    sqlite.start("sqlite3", {db, "SELECT per_codice_art, per_quantita, per_descrizione1 FROM per;"});
    ASSERT_TRUE(sqlite.waitForFinished(5000));
    EXPECT_EQ(sqlite.readAllStandardOutput().trimmed(), QByteArray("8001234567890|7|PENNA A SFERA BLU"));
}

TEST(ExchangeE2E, MissingErpDatabaseEndsTheProgram)
{
    TempHome home;
    SimTerminal terminal;
    ASSERT_TRUE(terminal.listenTcp());
    VendrixProcess vendrix(home.path());
    ASSERT_TRUE(vendrix.writeIni(
        VendrixProcess::Merged(VendrixProcess::TcpChannel(1, terminal.tcpPort(), home.file("missing.db")),
                               {{"DBMS(1)", {{"Type", "Zucchetti"}}}})));
    ASSERT_TRUE(vendrix.start());
    const auto exit = vendrix.waitForExit(20000);
    EXPECT_TRUE(exit.ended);
    EXPECT_NE(exit.code, 0);
    EXPECT_TRUE(readFile(home.file("LOG.txt")).contains("WARNING, database ZUCCHETTI does not exist."));
    EXPECT_FALSE(QFile::exists(home.file("missing.db")));
}

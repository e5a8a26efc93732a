// A database target stays open from one record to the next while a
// transfer runs. Whatever happens to the file meanwhile must come out as if
// it had been opened afresh for every record: a row another program adds is
// kept (not overwritten), a file put in its place gets the next records (not
// the old, unlinked one), a deleted file is made again from its template.
// The real program, headless, over TCP; the tables read with sqlite3 and
// Python's dbf module.
#include "../store/TableReaders.h"
#include "RunningCollector.h"
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "platform/CheckCharacters.h"
#include "tools/simterm/SimTerminal.h"

#include <QFile>
#include <QProcess>
#include <cstdio>
#include <gtest/gtest.h>

using namespace vx::test;
using namespace vx::sim;

namespace {

struct Kind {
    const char *type;
    const char *file;
    const char *templateName;
};

class SharedTargetE2E : public ::testing::TestWithParam<Kind> {
protected:
    bool IsSqlite() const { return QByteArray(GetParam().type).startsWith("Access"); }

    QStringList AllRek(const QString &path) const { return AllRekColumn(GetParam().type, path); }

    // Another program adds a row with only AllRek set.
    void AddRowElsewhere(const QString &path, const QString &value) const
    {
        QProcess p;
        if (IsSqlite()) {
            p.start(QStringLiteral("sqlite3"),
                    {path, QStringLiteral("INSERT INTO Vendrix (AllRek) VALUES ('%1');").arg(value)});
        } else {
            p.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"),
                                                         QStringLiteral("import dbf, sys\n"
                                                                        "t = dbf.Table(sys.argv[1])\n"
                                                                        "t.open(dbf.READ_WRITE)\n"
                                                                        "t.append({'allrek': sys.argv[2]})\n"
                                                                        "t.close()\n"),
                                                         path, value});
        }
        ASSERT_TRUE(p.waitForFinished(20000));
        ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    }
};

} // namespace

TEST_P(SharedTargetE2E, FileTouchedBetweenRecordsIsWrittenAsIfOpenedAfresh)
{
    TempHome home;
    const QString target = home.file(QLatin1String(GetParam().file));
    RunningCollector r(home.path(), target, {{"DBMS(1)", {{"Type", GetParam().type}}}});
    ASSERT_TRUE(r.ready) << r.output();
    SimTerminal &terminal = r.terminal;

    auto send = [&](const QByteArray &line) { return terminal.sendAndWait(line).answer == SimTerminal::Answer::Ack; };
    auto record = [&](const QByteArray &text) { return send(text + vx::XorChecksum(text)); };

    ASSERT_TRUE(send("BOF"));
    ASSERT_TRUE(record("first"));
    ASSERT_TRUE(record("second"));
    // A row added by someone else between two records stays.
    AddRowElsewhere(target, QStringLiteral("external"));
    ASSERT_TRUE(record("third"));
    EXPECT_EQ(AllRek(target), (QStringList{"first", "second", "external", "third"}));

    // An empty table put in the file's place gets the next records.
    const QString fresh = home.file(QStringLiteral("fresh.tmp"));
    ASSERT_TRUE(QFile::copy(programDir() + QLatin1Char('/') + QLatin1String(GetParam().templateName), fresh));
    ASSERT_TRUE(QFile(fresh).setPermissions(QFile::ReadOwner | QFile::WriteOwner));
    const QString old = home.file(QStringLiteral("old") + target.right(4));
    ASSERT_TRUE(QFile::rename(target, old));
    ASSERT_TRUE(QFile::rename(fresh, target));
    ASSERT_TRUE(record("fourth"));
    EXPECT_EQ(AllRek(target), QStringList{"fourth"});
    EXPECT_EQ(AllRek(old), (QStringList{"first", "second", "external", "third"}));

    // A deleted file is made again from its template.
    ASSERT_TRUE(QFile::remove(target));
    ASSERT_TRUE(record("fifth"));
    ASSERT_TRUE(send("EOF"));
    EXPECT_EQ(AllRek(target), QStringList{"fifth"});
    // Nothing left beside the table once the transfer is over.
    EXPECT_FALSE(QFile::exists(target + QStringLiteral("-journal")));
    EXPECT_FALSE(r.vendrix.terminate().crashed);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SharedTargetE2E,
                         ::testing::Values(Kind{"Access 2.0 (*.mdb)", "shared.mdb", "mdb2.mdb"},
                                           Kind{"Dbase IV (*.dbf)", "shared.dbf", "db4.dbf"}),
                         [](const auto &p) { return std::string(p.param.templateName).substr(0, 3); });

// Two channels writing the same dBase table take turns without either
// overwriting the other's rows.
TEST(SharedTargetTwoChannelsE2E, TwoChannelsAppendToOneDbaseTable)
{
    TempHome home;
    SimTerminal one;
    SimTerminal two;
    ASSERT_TRUE(one.listenTcp());
    ASSERT_TRUE(two.listenTcp());
    const QString target = home.file(QStringLiteral("both.dbf"));
    VendrixProcess vendrix(home.path());
    ASSERT_TRUE(vendrix.writeIni(VendrixProcess::Merged(
        VendrixProcess::Merged(VendrixProcess::TcpChannel(1, one.tcpPort(), target),
                               VendrixProcess::TcpChannel(2, two.tcpPort(), target)),
        {{"DBMS(1)", {{"Type", "Dbase IV (*.dbf)"}}}, {"DBMS(2)", {{"Type", "Dbase IV (*.dbf)"}}}})));
    ASSERT_TRUE(vendrix.start());
    ASSERT_TRUE(one.waitForConnected(15000));
    ASSERT_TRUE(two.waitForConnected(15000));
    ASSERT_TRUE(vendrix.waitForOutput("Collector ready", 15000)) << vendrix.outputText().toStdString();

    QList<QByteArray> records1;
    QList<QByteArray> records2;
    for (int i = 1; i <= 100; ++i) {
        records1.append("one " + QByteArray::number(i));
        records2.append("two " + QByteArray::number(i));
    }
    ASSERT_TRUE(one.startTransfer(records1));
    ASSERT_TRUE(two.startTransfer(records2));
    ASSERT_TRUE(waitUntil([&] { return !one.isSending() && !two.isSending(); }, 60000));
    ASSERT_TRUE(one.lastTransfer().complete);
    ASSERT_TRUE(two.lastTransfer().complete);

    const QStringList rows = AllRekColumn("Dbase IV (*.dbf)", target);
    EXPECT_EQ(rows.size(), 200);
    for (int i = 1; i <= 100; ++i) {
        EXPECT_EQ(rows.count(QStringLiteral("one %1").arg(i)), 1) << i;
        EXPECT_EQ(rows.count(QStringLiteral("two %1").arg(i)), 1) << i;
    }
    EXPECT_FALSE(vendrix.terminate().crashed);
}

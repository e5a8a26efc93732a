// An ACK means stored, also when the disk fills up, the target is not a
// file, another program locks the database, or the log grows without end.
// The real program, headless, over TCP; the targets read back with sqlite3
// and Python's dbf module. A full disk is a small tmpfs that the test mounts
// (it needs root, as on the CI machine; without it the test fails).
#include "../store/TableReaders.h"
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "platform/CheckCharacters.h"
#include "tools/simterm/SimTerminal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace vx::test;
using namespace vx::sim;
using Answer = SimTerminal::Answer;

namespace {

// A tmpfs of a few pages mounted on a fresh folder, and a filler file that
// takes all of its free space.
class SmallDisk {
public:
    explicit SmallDisk(int kib)
    {
        const QByteArray options = "size=" + QByteArray::number(kib) + "k";
        if (::mount("tmpfs", QFile::encodeName(m_dir.path()).constData(), "tmpfs", 0, options.constData()) == 0)
            m_mounted = true;
        else
            m_error = QString::fromLocal8Bit(std::strerror(errno));
    }
    ~SmallDisk()
    {
        if (m_mounted)
            ::umount2(QFile::encodeName(m_dir.path()).constData(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }
    std::string error() const { return m_error.toStdString(); }
    QString file(const QString &name) const { return m_dir.path() + QLatin1Char('/') + name; }

    // True when not one byte more fits.
    bool fill()
    {
        const int fd =
            ::open(QFile::encodeName(file(QStringLiteral("filler"))).constData(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd < 0)
            return false;
        const QByteArray page(4096, 'x');
        while (::write(fd, page.constData(), page.size()) > 0) {
        }
        while (::write(fd, "x", 1) > 0) {
        }
        ::close(fd);
        struct statvfs vfs {};
        return ::statvfs(QFile::encodeName(m_dir.path()).constData(), &vfs) == 0 && vfs.f_bavail == 0;
    }
    void free() { QFile::remove(file(QStringLiteral("filler"))); }

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
    QString m_error;
};

class FaultsE2E : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(terminal.listenTcp()); }

    // Starts the collector with channel 1 on the simulated terminal and the
    // given target.
    void Start(const QString &type, const QString &name, const QString &policy = QStringLiteral("Append"),
               VendrixProcess::Ini more = {})
    {
        vendrix = std::make_unique<VendrixProcess>(home.path());
        more = VendrixProcess::Merged(more, VendrixProcess::TcpChannel(1, terminal.tcpPort()));
        more["DBMS(1)"].insert("Type", type);
        more["DBMS(1)"].insert("Name", name);
        more["DBMS(1)"].insert("Policy", policy);
        ASSERT_TRUE(vendrix->writeIni(more));
        for (auto it = env.cbegin(); it != env.cend(); ++it)
            vendrix->setEnv(it.key(), it.value());
        ASSERT_TRUE(vendrix->start());
        ASSERT_TRUE(terminal.waitForConnected(15000)) << vendrix->outputText().toStdString();
        ASSERT_TRUE(vendrix->waitForOutput("Collector ready", 15000)) << vendrix->outputText().toStdString();
    }

    Answer Send(const QByteArray &line) { return terminal.sendAndWait(line).answer; }
    Answer Record(const QByteArray &text) { return Send(text + vx::XorChecksum(text)); }

    // Output lines (log and standard error) that contain every one of the
    // given texts, once at least one has come (the output may arrive after
    // the answer it goes with).
    int LinesWith(const QStringList &texts) const
    {
        waitUntil([&] { return Count(texts) > 0; }, 5000);
        return Count(texts);
    }
    int Count(const QStringList &texts) const
    {
        int count = 0;
        for (const QString &line : vendrix->lines()) {
            bool all = true;
            for (const QString &t : texts)
                all = all && line.contains(t);
            count += all ? 1 : 0;
        }
        return count;
    }
    std::string Output() const { return vendrix->outputText().toStdString(); }

    TempHome home;
    SimTerminal terminal;
    std::unique_ptr<VendrixProcess> vendrix;
    QMap<QString, QString> env;
};


struct DiskFullCase {
    const char *name;
    const char *type;
    const char *file;
    int recordLength; // text targets: long enough to stop short in the middle of a page
};

class DiskFullE2E : public FaultsE2E, public ::testing::WithParamInterface<DiskFullCase> {};

// Records are sent into a disk that fills up: those that fit are ACKed, the
// first that does not is NAKed (its cause logged once however often it is
// sent again) and leaves no trace; every row before stays readable; once
// space is back the same record is stored and the transfer confirmed.
TEST_P(DiskFullE2E, RefusedRecordLeavesNoTraceAndIsStoredWhenSpaceIsBack)
{
    const DiskFullCase &c = GetParam();
    SmallDisk disk(128);
    ASSERT_TRUE(disk.mounted()) << "mounting a small tmpfs failed (the test needs root): " << disk.error();
    const QString target = disk.file(QLatin1String(c.file));
    const QString type = QLatin1String(c.type);
    const bool text = type.startsWith("TXT") || type.startsWith("CSV");
    Start(type, target);

    auto make = [&](int i) {
        QByteArray r = "R" + QByteArray::number(i) + ";";
        while (r.size() < c.recordLength)
            r += char('a' + r.size() % 26);
        return r;
    };
    ASSERT_EQ(Send("BOF"), Answer::Ack);
    ASSERT_EQ(Record(make(1)), Answer::Ack);
    ASSERT_TRUE(disk.fill());

    QList<QByteArray> acked{make(1)};
    QByteArray refused;
    for (int i = 2; i <= 40 && refused.isEmpty(); ++i) {
        const Answer a = Record(make(i));
        ASSERT_TRUE(a == Answer::Ack || a == Answer::Nak) << int(a) << Output();
        if (a == Answer::Ack)
            acked << make(i);
        else
            refused = make(i);
    }
    ASSERT_FALSE(refused.isEmpty()) << "the disk never filled";
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(Record(refused), Answer::Nak);
    EXPECT_EQ(LinesWith({target, "No space left on device"}), 1) << Output();

    auto expectStored = [&](const QList<QByteArray> &records) {
        if (text) {
            QByteArray lines;
            for (const QByteArray &r : records)
                lines += r + "\r\n";
            EXPECT_EQ(readFile(target), lines);
        } else {
            QStringList want;
            for (const QByteArray &r : records)
                want << QString::fromLatin1(r);
            EXPECT_EQ(AllRekColumn(type, target), want);
        }
    };
    expectStored(acked);

    disk.free();
    EXPECT_EQ(Record(refused), Answer::Ack) << Output();
    EXPECT_EQ(Record(make(99)), Answer::Ack);
    EXPECT_EQ(Send("EOF"), Answer::Ack);
    EXPECT_EQ(LinesWith({"Records are stored again in", target}), 1) << Output();
    expectStored(acked << refused << make(99));
    EXPECT_FALSE(vendrix->terminate().crashed);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DiskFullE2E,
                         ::testing::Values(DiskFullCase{"Txt", "TXT (*.txt)", "t.txt", 5000},
                                           DiskFullCase{"Csv", "CSV (*.csv)", "t.csv", 5000},
                                           DiskFullCase{"Dbase", "Dbase IV (*.dbf)", "t.dbf", 200}),
                         [](const auto &p) { return std::string(p.param.name); });

struct NodeCase {
    const char *name;
    bool fifo; // else a character device (the same as /dev/null)
    const char *type;
    const char *policy;
};

class OddTargetE2E : public FaultsE2E, public ::testing::WithParamInterface<NodeCase> {};

// A target that is a FIFO or a device node is refused with a log line that
// names it: records are NAKed (never swallowed), the collector never waits
// on the FIFO, and the node is neither written, deleted nor replaced.
TEST_P(OddTargetE2E, NodeIsRefusedAndLeftAsItIs)
{
    const NodeCase &c = GetParam();
    const QString node = home.file(QStringLiteral("node"));
    const QByteArray native = QFile::encodeName(node);
    ASSERT_EQ(c.fifo ? ::mkfifo(native.constData(), 0666) : ::mknod(native.constData(), S_IFCHR | 0666, makedev(1, 3)),
              0)
        << std::strerror(errno);
    struct stat before {};
    ASSERT_EQ(::stat(native.constData(), &before), 0);

    Start(QLatin1String(c.type), node, QLatin1String(c.policy));
    EXPECT_EQ(Send("BOF"), Answer::Ack);
    EXPECT_EQ(Record("first"), Answer::Nak) << Output();
    EXPECT_EQ(Record("first"), Answer::Nak);
    EXPECT_EQ(Send("EOF"), Answer::Ack); // nothing was acknowledged, nothing to sync

    struct stat after {};
    ASSERT_EQ(::stat(native.constData(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(QDir(home.path()).entryList({"node*"}, QDir::AllEntries | QDir::System), QStringList{"node"});
    EXPECT_GE(LinesWith({node, c.fifo ? "is a FIFO, not a regular file" : "is a character device, not a regular file"}),
              1)
        << Output();
    EXPECT_LE(LinesWith({node, "not a regular file"}), 2) << Output(); // at start-up and at the first record
    EXPECT_FALSE(vendrix->terminate().crashed);
}

INSTANTIATE_TEST_SUITE_P(Nodes, OddTargetE2E,
                         ::testing::Values(NodeCase{"FifoAppend", true, "TXT (*.txt)", "Append"},
                                           NodeCase{"FifoOverWrite", true, "CSV (*.csv)", "OverWrite"},
                                           NodeCase{"FifoNewFile", true, "TXT (*.txt)", "NewFile"},
                                           NodeCase{"FifoDbase", true, "Dbase III (*.dbf)", "Append"},
                                           NodeCase{"DeviceAppend", false, "TXT (*.txt)", "Append"},
                                           NodeCase{"DeviceOverWrite", false, "TXT (*.txt)", "OverWrite"},
                                           NodeCase{"DeviceNewFile", false, "Access 2.0 (*.mdb)", "NewFile"}),
                         [](const auto &p) { return std::string(p.param.name); });

// A NUL byte (which leaves the check characters as they are) is stored
// whole in a dBase field, not cut there.
TEST_F(FaultsE2E, NulByteIsStoredWholeInDbaseFields)
{
    const QString target = home.file(QStringLiteral("nul.dbf"));
    Start(QStringLiteral("Dbase IV (*.dbf)"), target, QStringLiteral("Append"), {{"DBMS(1)", {{"SepCode", ";"}}}});
    const QByteArray record("ab\0cd;ef", 8);
    ASSERT_EQ(Send("BOF"), Answer::Ack);
    ASSERT_EQ(Record(record), Answer::Ack);
    ASSERT_EQ(Send("EOF"), Answer::Ack);
    const QList<QStringList> rows = DbaseRows(target);
    ASSERT_EQ(rows.size(), 1);
    const QString field = QStringLiteral("ab") + QChar(0) + QStringLiteral("cd");
    EXPECT_EQ(rows[0].value(0), field + QStringLiteral(";ef"));
    EXPECT_EQ(rows[0].value(1), field);
    EXPECT_EQ(rows[0].value(2), QStringLiteral("ef"));
}

// "EOF" is confirmed only when what was acknowledged is on stable storage:
// a target that vanished before it could be synced makes the terminal keep
// its data (NAK, for the rest of that transfer); a new transfer starts clean.
TEST_F(FaultsE2E, EofIsRefusedWhenTheTransferCannotBeSynced)
{
    const QString target = home.file(QStringLiteral("gone.txt"));
    Start(QStringLiteral("TXT (*.txt)"), target);
    ASSERT_EQ(Send("BOF"), Answer::Ack);
    ASSERT_EQ(Record("one"), Answer::Ack);
    ASSERT_TRUE(QFile::remove(target));
    EXPECT_EQ(Send("EOF"), Answer::Nak) << Output();
    EXPECT_EQ(Send("EOF"), Answer::Nak);
    EXPECT_EQ(LinesWith({"Cannot sync", target, "No such file or directory"}), 1) << Output();

    ASSERT_EQ(Send("BOF"), Answer::Ack);
    ASSERT_EQ(Record("one"), Answer::Ack);
    EXPECT_EQ(Send("EOF"), Answer::Ack);
    EXPECT_EQ(readFile(target), QByteArray("one\r\n"));
}

// Another program holding a lock on the SQLite target makes a record wait
// a short while, then NAK; the channel is not held for seconds. Once the
// lock is gone the resent record is stored.
TEST_F(FaultsE2E, LockedSqliteTargetRefusesQuickly)
{
    const QString target = home.file(QStringLiteral("locked.mdb"));
    Start(QStringLiteral("Access 2.0 (*.mdb)"), target);
    ASSERT_EQ(Send("BOF"), Answer::Ack);
    ASSERT_EQ(Record("before"), Answer::Ack);
    ASSERT_EQ(Send("EOF"), Answer::Ack); // the collector lets go of the file

    QProcess holder;
    holder.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import sqlite3, sys\n"
                                 "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                                 "c.execute('BEGIN EXCLUSIVE')\n"
                                 "print('locked', flush=True)\n"
                                 "sys.stdin.read()\n"
                                 "c.execute('COMMIT')\n"),
                  target});
    ASSERT_TRUE(holder.waitForReadyRead(20000)) << holder.readAllStandardError().toStdString();
    ASSERT_EQ(Send("BOF"), Answer::Ack);
    const SimTerminal::LineResult r = terminal.sendAndWait("during" + vx::XorChecksum("during"));
    EXPECT_EQ(r.answer, Answer::Nak) << Output();
    // The wait is a quarter of a second; five seconds before.
    EXPECT_LT(r.latencyNs, 2000LL * 1000 * 1000);
    EXPECT_EQ(LinesWith({target, "is locked"}), 1) << Output();
    holder.closeWriteChannel();
    ASSERT_TRUE(holder.waitForFinished(20000));

    EXPECT_EQ(Record("during"), Answer::Ack);
    EXPECT_EQ(Send("EOF"), Answer::Ack);
    EXPECT_EQ(AllRekColumn(QStringLiteral("Access"), target), (QStringList{"before", "during"}));
}

// The log is kept to five files of bounded size: LOG.txt and LOG.txt.1 to
// LOG.txt.4, the newest entries in LOG.txt.
TEST_F(FaultsE2E, LogIsRotatedBySize)
{
    constexpr int kLimit = 2000;
    env.insert("VENDRIX_LOG_MAX_BYTES", QString::number(kLimit));
    Start(QStringLiteral("TXT (*.txt)"), home.file(QStringLiteral("r.txt")));
    ASSERT_EQ(Send("BOF"), Answer::Ack);
    for (int i = 1; i <= 300; ++i)
        ASSERT_EQ(Record("record number " + QByteArray::number(i).rightJustified(4, '0')), Answer::Ack);
    ASSERT_EQ(Send("EOF"), Answer::Ack);

    const QString log = vendrix->logPath();
    QByteArray all;
    for (int i = 4; i >= 0; --i) {
        const QString file = i == 0 ? log : log + QLatin1Char('.') + QString::number(i);
        ASSERT_TRUE(QFileInfo::exists(file)) << file.toStdString();
        EXPECT_LE(QFileInfo(file).size(), kLimit) << file.toStdString();
        all += readFile(file);
    }
    EXPECT_FALSE(QFileInfo::exists(log + ".5"));
    EXPECT_TRUE(readFile(log).contains("EOF"));
    // The oldest entries are gone; the newest are there, whole and in order.
    EXPECT_FALSE(all.contains("record number 0001"));
    EXPECT_LT(all.indexOf("record number 0299"), all.indexOf("record number 0300"));
    EXPECT_FALSE(vendrix->terminate().crashed);
}

// A failure names the file and the reason in the words of the system:
// a target that cannot be made, and a log that cannot be written.
TEST_F(FaultsE2E, FailuresNameThePathAndTheReason)
{
    ASSERT_TRUE(QDir(home.path()).mkdir(QStringLiteral("LOG.txt")));
    const QString target = home.file(QStringLiteral("no/such/folder/x.txt"));
    Start(QStringLiteral("TXT (*.txt)"), target);
    EXPECT_EQ(Record("one"), Answer::Nak);
    EXPECT_EQ(Record("one"), Answer::Nak);
    EXPECT_EQ(LinesWith({target, "not available", "No such file or directory"}), 1) << Output();
    EXPECT_EQ(LinesWith({"Cannot open the log", home.file(QStringLiteral("LOG.txt")), "is a folder"}), 1) << Output();
    EXPECT_FALSE(vendrix->terminate().crashed);
}

} // namespace

#include "store/RecordStore.h"

#include "platform/Clock.h"
#include "platform/FileLock.h"
#include "platform/Messenger.h"
#include "settings/IniStore.h"
#include "store/DbaseTable.h"
#include "store/FileSync.h"
#include "store/PathWatch.h"
#include "store/PostgresTarget.h"
#include "store/SqliteTable.h"
#include "store/TargetLayout.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSysInfo>
#include <QTimer>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx {

namespace {

const QString kNotAvailable =
    QStringLiteral("WARNING, the requested file is not available. Change the settings, please.");
const QString kCannotCreate = QStringLiteral(
    "Warning: requested file cannot be created.\r\n"
    "Select another one and start application again.");
const QString kErpMissing = QStringLiteral(
    "WARNING, database ZUCCHETTI does not exist.\r\n"
    "Create database and re-run program!");

QString DownloadFileNotAvailable(int n)
{
    // The channel number keeps the blank that a number's text form reserves
    // for its sign: "(index =  2)".
    return QStringLiteral("Warning, selected download file (index = ") + QLatin1Char(' ') + QString::number(n)
           + QStringLiteral(") not available. Choose another one.");
}

enum class Kind { Txt, Csv, Access, Dbase3, Dbase4, Dbase5, Zucchetti, Postgres, Other };

Kind KindOf(const QString &type)
{
    if (type == QLatin1String("TXT (*.txt)"))
        return Kind::Txt;
    if (type == QLatin1String("CSV (*.csv)"))
        return Kind::Csv;
    if (type == QLatin1String("Access 2.0 (*.mdb)"))
        return Kind::Access;
    if (type == QLatin1String("Dbase III (*.dbf)"))
        return Kind::Dbase3;
    if (type == QLatin1String("Dbase IV (*.dbf)"))
        return Kind::Dbase4;
    if (type == QLatin1String("Dbase 5 (*.dbf)"))
        return Kind::Dbase5;
    const QString name = type.trimmed();
    if (name == QLatin1String("Zucchetti"))
        return Kind::Zucchetti;
    if (name == QLatin1String("PostgreSQL"))
        return Kind::Postgres;
    return Kind::Other;
}

bool IsDbase(Kind k)
{
    return k == Kind::Dbase3 || k == Kind::Dbase4 || k == Kind::Dbase5;
}
bool IsDatabase(Kind k)
{
    return k == Kind::Access || IsDbase(k);
}

QString TemplateName(Kind k)
{
    switch (k) {
    case Kind::Access:
        return QStringLiteral("mdb2.mdb");
    case Kind::Dbase3:
        return QStringLiteral("db3.dbf");
    case Kind::Dbase4:
        return QStringLiteral("db4.dbf");
    case Kind::Dbase5:
        return QStringLiteral("db5.dbf");
    default:
        return {};
    }
}

QString ConnectKind(Kind k)
{
    switch (k) {
    case Kind::Access:
        return QStringLiteral("Access");
    case Kind::Dbase3:
        return QStringLiteral("dBASE III");
    case Kind::Dbase4:
        return QStringLiteral("dBASE IV");
    case Kind::Dbase5:
        return QStringLiteral("dBASE 5.0");
    default:
        return {};
    }
}

QString ErrorOf(const QString &path, int error)
{
    return QStringLiteral("%1: %2").arg(path, ErrnoText(error));
}

// A held target (a text file, a dBase table's lock) is let go once its
// channel has been quiet this long, and after the record that finds it held
// this long (so another collector writing the same file gets its turn).
constexpr int kHoldIdleMs = 20;
constexpr qint64 kHoldLongestMs = 100;

// Writes bytes at the end of fd (opened for appending, under the target's
// lock). A line is written whole or not at all: when a write fails or stops
// short (a full disk), what of it reached the file is cut off again, so a
// resent record is never glued to a fragment of itself.
bool WriteWhole(int fd, const QString &path, const QByteArray &bytes, QString *error)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, p, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            *error = ErrorOf(path, written == 0 ? ENOSPC : errno);
            struct stat st {};
            if (left != bytes.size()
                && (::fstat(fd, &st) != 0 || ::ftruncate(fd, st.st_size - (bytes.size() - left)) != 0))
                *error += QStringLiteral("; a part of the record stays in the file: %1").arg(ErrnoText(errno));
            return false;
        }
        p += written;
        left -= written;
    }
    return true;
}

// Writes bytes to fd (opened for appending) under the target's lock and
// closes it; on failure the file is as it was (see WriteWhole).
bool WriteAndClose(int fd, const QString &path, const QByteArray &bytes, QString *error)
{
    // Writers of the same file elsewhere (collectors of other homes on a
    // shared folder) take turns by whole rows; closing lets go.
    QString why;
    if (!FileLock::LockExclusive(fd, 2000, &why)) {
        *error = QStringLiteral("%1: %2").arg(path, why);
        ::close(fd);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *error = ErrorOf(path, errno);
        ::close(fd);
        return false;
    }
    const off_t before = st.st_size;
    if (!WriteWhole(fd, path, bytes, error)) {
        ::close(fd);
        return false;
    }
    if (::close(fd) < 0 && errno != EINTR) {
        // The line may not have reached the file: it is taken back.
        *error = ErrorOf(path, errno);
        if (::truncate(QFile::encodeName(path).constData(), before) != 0)
            *error += QStringLiteral("; a part of the record may stay in the file: %1").arg(ErrnoText(errno));
        return false;
    }
    return true;
}

// Appends bytes at the end of the file (created when missing) and closes it.
bool AppendToFile(const QString &path, const QByteArray &bytes, QString *error)
{
    const int fd = OpenRegular(path, O_WRONLY | O_APPEND | O_CREAT);
    if (fd < 0) {
        *error = ErrorOf(path, errno);
        return false;
    }
    return WriteAndClose(fd, path, bytes, error);
}

// Copies a template into place, the copy writable by its owner whatever
// the installed template's mode; false with *why on failure.
bool CopyTemplate(const QString &source, const QString &target, QString *why)
{
    QFile from(source);
    if (!from.copy(target)) {
        *why = from.errorString();
        return false;
    }
    QFile copy(target);
    if (!copy.setPermissions(copy.permissions() | QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        *why = copy.errorString();
        return false;
    }
    return true;
}

// The ERP database is checked without ever creating a file in its place.
bool ExistingFileWritable(const QString &path)
{
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::ExistingOnly);
}

QString FolderOf(const QString &path)
{
    return QFileInfo(path).absolutePath();
}

// What identifies a file's state: which file it is, its size and the time
// of its last change.
struct FileStamp {
    bool valid = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    qint64 changedNs = 0;

    static FileStamp Of(const QString &path)
    {
        FileStamp f;
        struct stat st {};
        if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
            return f;
        f.valid = true;
        f.device = st.st_dev;
        f.inode = st.st_ino;
        f.size = st.st_size;
        f.changedNs = qint64(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
        return f;
    }
    bool operator==(const FileStamp &o) const
    {
        return valid && o.valid && device == o.device && inode == o.inode && size == o.size && changedNs == o.changedNs;
    }
};

} // namespace

struct RecordStore::Impl {
    enum class Bound { None, Sqlite, Dbase };

    // A text or CSV target held open, and locked against other writers,
    // while a channel's records come one after the other: each record then
    // costs a look at the path (still this regular file?) and one write.
    struct HeldText {
        int fd = -1;
        QString path;
        PathWatch watch;
        qint64 lockedAtMs = 0;
        qint64 lastUseMs = 0;
        bool noted = false; // among the channel's unsynced files
    };

    struct Channel {
        DatabaseBinding binding;
        Bound bound = Bound::None;
        QString boundFile;
        std::unique_ptr<SqliteTable> sqlite;
        DbaseTable dbase;
        // The values of the row being made or last written (what the window
        // shows); after a record's row they are made from lastRow when asked
        // for (fieldsStale), not at every record.
        mutable std::array<QString, 21> fields;
        mutable bool fieldsStale = false;
        TargetRow lastRow;
        bool rowPending = false;
        bool rowWritten = false;
        // Files written on this channel since its last sync.
        QSet<QString> unsynced;
        // A sync of this transfer failed: what was acknowledged may not be
        // on stable storage, so the transfer is not confirmed (until the
        // terminal starts again with "BOF").
        bool syncFailed = false;
        // The failure the channel's records meet now; logged when it starts
        // or changes, not again at every resend of the record.
        QString problem;
        // The bound database file as this channel left it after its last
        // row: the binding is kept open for the next record only while the
        // file is still exactly that (not replaced, moved, or written by
        // anyone else meanwhile).
        FileStamp stamp;
        HeldText text;
        qint64 lockUseMs = 0; // the last row under a kept dBase lock
        // The bound SQLite file, for the rows that follow the first.
        PathWatch sqliteWatch;
    };

    explicit Impl(Context c) : ctx(std::move(c))
    {
        idle.setSingleShot(true);
        QObject::connect(&idle, &QTimer::timeout, &idle, [this] { ReleaseIdleHolds(); });
    }

    Context ctx;
    // Lets go of text targets whose channel has gone quiet.
    QTimer idle;
    std::array<Channel, 5> ch;
    SplitRecordFields lastSplit;
    // "PostgreSQL" targets, each with its connection on a thread of its own.
    std::array<std::unique_ptr<PostgresTarget>, 5> pg;

    bool IsPostgres(int n) const { return Valid(n) && KindOf(ctx.settings.DBMS[n].Type) == Kind::Postgres; }

    // Channel n's server target, made again when its settings changed.
    PostgresTarget &Pg(int n)
    {
        const StoreSettings &db = ctx.settings.DBMS[n];
        if (!pg[n] || pg[n]->ConnInfo() != db.Name) {
            pg[n].reset();
            QString collector = ctx.store.read(MiscSection(), QStringLiteral("CollectorName"), QString()).trimmed();
            if (collector.isEmpty())
                collector = QSysInfo::machineHostName();
            pg[n] = std::make_unique<PostgresTarget>(db.Name, collector, n,
                                                     [this, n](const QString &line) { Log(line, n); });
            // A shared server's rows belong to every collector: no policy
            // deletes them.
            if (db.Policy == QLatin1String("OverWrite") || db.Policy == QLatin1String("NewFile")
                || db.AlwaysOverwrite == QLatin1String("1"))
                Log(QStringLiteral("Policy \"%1\"%2 on a PostgreSQL target: records are appended, rows are never "
                                   "deleted; column transfer tells the transfers apart.")
                        .arg(db.Policy, db.AlwaysOverwrite == QLatin1String("1")
                                            ? QStringLiteral(" with AlwaysOverwrite")
                                            : QString()),
                    n);
        }
        return *pg[n];
    }

    static bool Valid(int n) { return n >= 1 && n <= 4; }

    void Log(const QString &line, int n) const
    {
        if (ctx.log)
            ctx.log(line, n);
        else
            qWarning().noquote() << QStringLiteral("Channel %1: %2").arg(n).arg(line);
    }

    // A record could not be stored: the cause is logged once while it
    // lasts (a terminal resends the record until it is taken).
    void Problem(int n, const QString &text)
    {
        if (ch[n].problem == text)
            return;
        ch[n].problem = text;
        Log(text, n);
    }
    // A record was stored: a failure before is over.
    void Stored(int n)
    {
        if (ch[n].problem.isEmpty())
            return;
        ch[n].problem.clear();
        Log(QStringLiteral("Records are stored again in %1").arg(ctx.settings.DBMS[n].Name), n);
    }

    // A target must be a regular file or not exist: a FIFO or a device node
    // would swallow acknowledged records, and is never opened, written,
    // deleted or replaced. False (logged) when path is such a node.
    bool RegularOrAbsent(int n, const QString &path)
    {
        const QString odd = NotRegularFile(path);
        if (odd.isEmpty())
            return true;
        Problem(n, QStringLiteral("The target %1 is %2, not a regular file: its records are refused and it is left "
                                  "as it is")
                       .arg(path, odd));
        return false;
    }

    // The fixed message of a target that cannot be opened, and a log line
    // that says which file and why.
    void NotAvailable(int n, const QString &path, const QString &why)
    {
        Problem(n, QStringLiteral("The target %1 is not available: %2").arg(path, why));
        ctx.messenger.message(kNotAvailable, MsgIcon::Critical);
    }

    void Terminate() const
    {
        if (ctx.terminate)
            ctx.terminate(1);
        else
            std::exit(1);
    }

    void ReleaseText(int n)
    {
        HeldText &t = ch[n].text;
        if (t.fd >= 0 && ::close(t.fd) != 0 && errno != EINTR)
            Log(QStringLiteral("Cannot close %1: %2").arg(t.path, ErrnoText(errno)), n);
        t.watch.Clear();
        t.fd = -1;
        t.path.clear();
        t.noted = false;
    }

    // Lets go of what quiet channels hold: a text file, a dBase table's lock.
    void ReleaseIdleHolds()
    {
        const qint64 now = MonotonicMs();
        bool held = false;
        for (int k = 1; k <= 4; ++k) {
            Channel &c = ch[k];
            if (c.text.fd >= 0) {
                if (now - c.text.lastUseMs >= kHoldIdleMs)
                    ReleaseText(k);
                else
                    held = true;
            }
            if (c.dbase.Locked()) {
                if (now - c.lockUseMs >= kHoldIdleMs)
                    c.dbase.UnlockRow();
                else
                    held = true;
            }
        }
        if (held)
            idle.start(kHoldIdleMs);
    }

    // After a row into a dBase table whose lock is kept: let go of it when
    // it has been held long (another writer gets its turn), else when the
    // channel goes quiet.
    void KeepLocked(int n)
    {
        Channel &c = ch[n];
        const qint64 now = MonotonicMs();
        c.lockUseMs = now;
        if (now - c.dbase.LockedSinceMs() >= kHoldLongestMs)
            c.dbase.UnlockRow();
        else if (!idle.isActive())
            idle.start(kHoldIdleMs);
    }

    // Channel n holds its database from one row to the next: an SQLite
    // database bound by an earlier row of the transfer (the database itself
    // takes care of other programs writing to it), or a dBase table whose
    // lock the channel kept since its last row.
    bool HoldsDatabase(int n) const
    {
        const Channel &c = ch[n];
        return (c.bound == Bound::Sqlite && c.sqliteWatch.Watching()) || (c.bound == Bound::Dbase && c.dbase.Locked());
    }

    // The held database can take the next row without any check beyond a
    // look at the path: the settings still name its file, the file is the
    // one open (a dBase table also as the last row left it).
    bool HeldDatabaseUsable(int n) const
    {
        const Channel &c = ch[n];
        const StoreSettings &db = ctx.settings.DBMS[n];
        const Kind kind = KindOf(db.Type);
        if (c.boundFile != db.Name || c.binding.Connect != ConnectKind(kind))
            return false;
        if (c.bound == Bound::Sqlite)
            return kind == Kind::Access && c.sqliteWatch.Same();
        return IsDbase(kind) && c.dbase.SameAsLeft();
    }

    void CloseBinding(int n)
    {
        Channel &c = ch[n];
        if (c.sqlite)
            c.sqlite->Close();
        c.dbase.Close();
        c.sqliteWatch.Clear();
        c.bound = Bound::None;
        c.boundFile.clear();
        c.stamp = FileStamp();
    }

    // Channel n's database binding can take the next record as it is: bound
    // to the file the settings name, the file as the last row left it, and
    // still readable and writable (what SetDB and StoreRecord would check).
    bool BindingReusable(int n, Kind kind) const
    {
        const Channel &c = ch[n];
        const StoreSettings &db = ctx.settings.DBMS[n];
        if (!c.stamp.valid || c.binding.Connect != ConnectKind(kind))
            return false;
        if (kind == Kind::Access) {
            if (c.bound != Bound::Sqlite || c.boundFile != db.Name)
                return false;
        } else {
            if (c.bound != Bound::Dbase)
                return false;
            const SplitPathResult parts = SplitPath(db.Name);
            if (!parts.found || c.boundFile != parts.folder + parts.file || c.boundFile != db.Name)
                return false;
        }
        if (::access(QFile::encodeName(c.boundFile).constData(), R_OK | W_OK) != 0)
            return false;
        return FileStamp::Of(c.boundFile) == c.stamp;
    }

    // A target that is being deleted or moved: every channel that writes
    // the same file lets go of it first.
    void ReleaseFile(const QString &path)
    {
        for (int k = 1; k <= 4; ++k) {
            if (ch[k].bound != Bound::None && ch[k].boundFile == path)
                CloseBinding(k);
            if (ch[k].text.fd >= 0 && ch[k].text.path == path)
                ReleaseText(k);
        }
    }

    // One binding per file: another channel that holds the file lets go of
    // it before this one writes to it.
    void ReleaseFromOthers(int n, const QString &path)
    {
        for (int k = 1; k <= 4; ++k) {
            if (k != n && ch[k].bound != Bound::None && ch[k].boundFile == path)
                CloseBinding(k);
        }
    }

    void ForgetUnsynced(const QString &path)
    {
        for (int k = 1; k <= 4; ++k)
            ch[k].unsynced.remove(path);
    }

    // True when the target holds records: a text file that is not empty, a
    // database file that is no longer a plain copy of its template (one
    // without its template counts as holding records).
    bool HoldsRecords(const StoreSettings &db)
    {
        const QFileInfo info(db.Name);
        if (!info.exists())
            return false;
        const Kind kind = KindOf(db.Type);
        if (!IsDatabase(kind))
            return info.size() > 0;
        // Rows still in a write-ahead log reach the file when it is let go.
        ReleaseFile(db.Name);
        for (const QString &side : SqliteSideFiles(db.Name))
            if (QFileInfo(side).size() > 0)
                return true;
        QFile made(db.Name);
        QFile plain(ctx.programDir + QLatin1Char('/') + TemplateName(kind));
        if (!plain.exists() || plain.size() != made.size())
            return true;
        if (!made.open(QIODevice::ReadOnly) || !plain.open(QIODevice::ReadOnly))
            return true;
        return made.readAll() != plain.readAll();
    }

    // Moves channel n's target to its time-stamped name (a counter is added
    // when that name is taken). False when it could not be moved.
    bool MoveToTimeStampedName(int n)
    {
        const StoreSettings &db = ctx.settings.DBMS[n];
        if (!FileExists(db.Name))
            return true;
        ReleaseFile(db.Name);
        // An earlier transfer moved within the same second keeps its file:
        // the new name gets a counter instead of replacing it.
        const QString moved = UniqueTimeStampedName(db.Name, ctx.clock.timeOfDay());
        if (::rename(QFile::encodeName(db.Name).constData(), QFile::encodeName(moved).constData()) != 0) {
            Log(QStringLiteral("Cannot move %1 to %2: %3").arg(db.Name, moved, ErrnoText(errno)), n);
            return false;
        }
        ForgetUnsynced(db.Name);
        QString error;
        if (!SyncFolder(FolderOf(moved), &error))
            Log(QStringLiteral("Cannot sync %1").arg(error), n);
        return true;
    }

    // Under "NewFile" the target is made afresh for a transfer; records it
    // already holds (a transfer the terminal started, a run before a
    // restart) are first moved to their own time-stamped name, never lost.
    bool KeepHeldRecords(int n)
    {
        const StoreSettings &db = ctx.settings.DBMS[n];
        if (db.Policy != QLatin1String("NewFile") || KindOf(db.Type) == Kind::Zucchetti)
            return true;
        if (!HoldsRecords(db))
            return true;
        return MoveToTimeStampedName(n);
    }

    // Re-reads the four DBMS(n) sections into the settings records.
    void ReloadStoreSettings()
    {
        for (int k = 1; k <= 4; ++k) {
            StoreSettings &s = ctx.settings.DBMS[k];
            const QString section = DbmsSection(k);
            s.Type = ctx.store.read(section, QStringLiteral("Type"), QStringLiteral("TXT (*.txt)"));
            s.Name = ctx.store.read(section, QStringLiteral("Name"), DefaultStoreName());
            s.Policy = ctx.store.read(section, QStringLiteral("Policy"), QStringLiteral("Append"));
            s.AlwaysOverwrite = ctx.store.read(section, QStringLiteral("AlwaysOverwrite"), QStringLiteral("0"));
            s.SepCode = ctx.store.read(section, QStringLiteral("SepCode"), QStringLiteral("None"));
        }
    }

    // The line a text or CSV target gets for a record; false for other kinds,
    // and for text while a data-exchange File(n) may redirect the records.
    bool TextLine(const QByteArray &rec, int n, QByteArray *line) const
    {
        const StoreSettings &db = ctx.settings.DBMS[n];
        const Kind kind = KindOf(db.Type);
        if (kind != Kind::Txt && kind != Kind::Csv && kind != Kind::Other)
            return false;
        if (kind == Kind::Txt && ctx.exchange && ctx.exchange->ExchangeActive())
            return false;
        if (db.Name.isEmpty())
            return false;
        QByteArray separator;
        if (kind == Kind::Csv && db.SepCode != QLatin1String("None"))
            separator = db.SepCode == QLatin1String("Space") ? QByteArray(" ") : db.SepCode.toLatin1();
        if (!separator.isEmpty() && rec.contains(separator)) {
            *line = ReplaceAll(rec, separator, ",");
            *line += "\r\n";
        } else {
            line->reserve(rec.size() + 2);
            line->append(rec);
            line->append("\r\n");
        }
        return true;
    }

    // The usual case of a text or CSV target: the file is there and can be
    // read and appended to. One opening for reading and appending stands in
    // for the checks of SetDB and StoreRecord (file there, readable,
    // appendable), which all pass when it succeeds; when it fails, nothing
    // was written and the full path runs with its messages. The file is then
    // held for the channel's next records (AppendToHeldText).
    enum class Fast { NotTaken, Stored, Failed };
    Fast AppendToExistingText(const QByteArray &rec, int n)
    {
        ReleaseText(n);
        QByteArray line;
        if (!TextLine(rec, n, &line))
            return Fast::NotTaken;
        const StoreSettings &db = ctx.settings.DBMS[n];
        const int fd = OpenRegular(db.Name, O_RDWR | O_APPEND);
        if (fd < 0)
            return Fast::NotTaken; // the full path says why
        // What SetDB does for a text target besides its checks.
        Channel &c = ch[n];
        CloseBinding(n);
        c.binding = DatabaseBinding();
        // One holder per file in this program: locks of two descriptors of
        // the same file exclude each other.
        ReleaseFile(db.Name);
        // Writers of the same file elsewhere (collectors of other homes on a
        // shared folder) take turns; closing lets go.
        QString why;
        if (!FileLock::LockExclusive(fd, 2000, &why)) {
            ::close(fd);
            // A failed write is final, as on the full path: the record is refused.
            Problem(n, QStringLiteral("Record not written: %1: %2").arg(db.Name, why));
            return Fast::Failed;
        }
        HeldText &t = c.text;
        t.fd = fd;
        t.path = db.Name;
        t.watch.Watch(db.Name, fd);
        t.lockedAtMs = MonotonicMs();
        return WriteHeld(line, n);
    }

    // The next record of a channel that holds its text target: written when
    // the path still names the file held (a regular file, not replaced or
    // removed meanwhile); otherwise the file is let go and NotTaken says to
    // open it afresh.
    Fast AppendToHeldText(const QByteArray &rec, int n)
    {
        HeldText &t = ch[n].text;
        QByteArray line;
        if (t.path != ctx.settings.DBMS[n].Name || !TextLine(rec, n, &line) || !t.watch.Same()) {
            ReleaseText(n);
            return Fast::NotTaken;
        }
        return WriteHeld(line, n);
    }

    Fast WriteHeld(const QByteArray &line, int n)
    {
        HeldText &t = ch[n].text;
        QString error;
        if (!WriteWhole(t.fd, t.path, line, &error)) {
            ReleaseText(n);
            Problem(n, QStringLiteral("Record not written: %1").arg(error));
            return Fast::Failed;
        }
        if (!t.noted) {
            ch[n].unsynced.insert(t.path);
            t.noted = true;
        }
        const qint64 now = MonotonicMs();
        t.lastUseMs = now;
        if (now - t.lockedAtMs >= kHoldLongestMs)
            ReleaseText(n);
        else if (!idle.isActive())
            idle.start(kHoldIdleMs);
        return Fast::Stored;
    }

    bool AppendLine(const QString &path, const QByteArray &text, int n)
    {
        ReleaseFile(path);
        QString error;
        if (!AppendToFile(path, text + "\r\n", &error)) {
            Problem(n, QStringLiteral("Record not written: %1").arg(error));
            return false;
        }
        ch[n].unsynced.insert(path);
        return true;
    }
};

RecordStore::RecordStore(Context context) : d(std::make_unique<Impl>(std::move(context)))
{
    const QString base = QStringLiteral("vx.store.%1.").arg(reinterpret_cast<quintptr>(this), 0, 16);
    for (int n = 1; n <= 4; ++n)
        d->ch[n].sqlite = std::make_unique<SqliteTable>(base + QString::number(n));
}

RecordStore::~RecordStore()
{
    for (int n = 1; n <= 4; ++n) {
        d->CloseBinding(n);
        d->ReleaseText(n);
    }
}

bool RecordStore::StoreRecord(const QByteArray &record, int n)
{
    if (!Impl::Valid(n)) {
        d->Log(QStringLiteral("Record not stored: there is no channel %1").arg(n), n);
        return false;
    }
    if (d->IsPostgres(n)) {
        d->Log(QStringLiteral("Record not stored: a PostgreSQL target answers through StoreRecordLater"), n);
        return false;
    }
    QByteArray rec = record;
    if (d->ctx.settings.Com[n].ConnProtocol == QLatin1String("ACK/NAK"))
        rec.chop(2);

    const bool ok = StoreRecordAs(rec, n);
    if (ok)
        d->Stored(n);
    return ok;
}

bool RecordStore::StoreRecordAs(const QByteArray &rec, int n)
{
    if (d->ch[n].text.fd >= 0 && !FirstRecord[n]) {
        switch (d->AppendToHeldText(rec, n)) {
        case Impl::Fast::Stored:
            return true;
        case Impl::Fast::Failed:
            return false;
        case Impl::Fast::NotTaken:
            break;
        }
    }
    // A database bound since an earlier row of this transfer, still the file
    // at its path: the next row at once.
    if (!FirstRecord[n] && d->HoldsDatabase(n)) {
        if (d->HeldDatabaseUsable(n)) {
            const bool ok = WriteRow(rec, n);
            if (!ok)
                d->CloseBinding(n);
            return ok;
        }
        d->CloseBinding(n);
    }
    if (!d->RegularOrAbsent(n, d->ctx.settings.DBMS[n].Name))
        return false;
    {
        const StoreSettings &db = d->ctx.settings.DBMS[n];
        if (db.Policy == QLatin1String("OverWrite") && FirstRecord[n] && KindOf(db.Type) != Kind::Zucchetti) {
            if (!CreaDB(n))
                return false;
        }
        if (FirstRecord[n] && db.Policy == QLatin1String("NewFile")) {
            d->ReloadStoreSettings();
            if (!d->KeepHeldRecords(n) || !CreaDB(n))
                return false;
        }
    }

    switch (d->AppendToExistingText(rec, n)) {
    case Impl::Fast::Stored:
        FirstRecord[n] = false;
        return true;
    case Impl::Fast::Failed:
        FirstRecord[n] = false;
        return false;
    case Impl::Fast::NotTaken:
        break;
    }

    const StoreSettings &db = d->ctx.settings.DBMS[n];
    const Kind kind = KindOf(db.Type);
    // A database target stays open from one record to the next (opening it
    // costs more than writing a row) as long as nobody else touched it.
    if (!IsDatabase(kind) || !d->BindingReusable(n, kind)) {
        if (!SetDB(n))
            return false;
        QString why;
        const bool openable = kind == Kind::Zucchetti ? ExistingFileWritable(db.Name) : CanOpenForAppend(db.Name, &why);
        if (!openable) {
            if (kind == Kind::Zucchetti)
                why = QStringLiteral("it is not an existing, writable file");
            d->NotAvailable(n, db.Name, why);
            CloseDB(n);
            return false;
        }
    }

    FirstRecord[n] = false;

    bool ok = false;
    switch (kind) {
    case Kind::Txt: {
        QString path = db.Name;
        if (d->ctx.exchange && d->ctx.exchange->ExchangeActive()) {
            const QString file = d->ctx.exchange->ExchangeFile(n);
            if (!file.isEmpty())
                path = file;
        }
        // CanOpenForAppend refuses a FIFO or a device without opening it.
        QString why;
        if (path != db.Name && !CanOpenForAppend(path, &why)) {
            d->NotAvailable(n, path, why);
            ok = false;
        } else {
            ok = d->AppendLine(path, rec, n);
        }
        break;
    }
    case Kind::Csv: {
        QByteArray separator;
        if (db.SepCode == QLatin1String("Space"))
            separator = " ";
        else if (db.SepCode != QLatin1String("None"))
            separator = db.SepCode.toLatin1();
        ok = d->AppendLine(db.Name, ReplaceAll(rec, separator, ","), n);
        break;
    }
    case Kind::Access:
    case Kind::Dbase3:
    case Kind::Dbase4:
    case Kind::Dbase5:
        ok = WriteRow(rec, n);
        break;
    case Kind::Zucchetti:
        if (d->ctx.zucchetti) {
            ok = d->ctx.zucchetti->WriteRecord(rec, db.Name, n);
            if (ok)
                d->ch[n].unsynced.insert(db.Name);
        } else {
            d->Problem(
                n, QStringLiteral("Record refused: no ERP bridge is available for the target type \"Zucchetti\" (%1)")
                       .arg(db.Name));
            ok = false;
        }
        break;
    case Kind::Postgres: // answered through StoreRecordLater (above)
        break;
    case Kind::Other:
        ok = d->AppendLine(db.Name, rec, n);
        break;
    }

    Impl::Channel &c = d->ch[n];
    if (ok && IsDatabase(kind) && c.bound != Impl::Bound::None) {
        c.stamp = FileStamp::Of(c.boundFile); // kept open for the next record
        if (c.bound == Impl::Bound::Sqlite)
            c.sqliteWatch.Watch(c.boundFile);
    } else
        CloseDB(n);
    return ok;
}

bool RecordStore::WriteRow(const QByteArray &rec, int n)
{
    d->lastSplit = SplitRecord(rec, d->ctx.settings.DBMS[n].SepCode.toLatin1());
    Impl::Channel &c = d->ch[n];
    // The row straight from the split (the values as AddRek and UpdateRek
    // would carry them: single-byte text, cut to the column); the values the
    // window shows are made from it when asked for.
    for (int i = 0; i < TargetLayout::ColumnCount; ++i)
        c.lastRow[i] = d->lastSplit[i].left(TargetLayout::ColumnWidth(i));
    c.fieldsStale = true;
    c.rowPending = false;
    c.rowWritten = false;
    AppendRow(n, c.lastRow);
    if (c.bound == Impl::Bound::Dbase && c.dbase.Locked())
        d->KeepLocked(n);
    return c.rowWritten;
}

bool RecordStore::StoresLater(int n) const
{
    return d->IsPostgres(n);
}

void RecordStore::StoreRecordLater(const QByteArray &record, int n, std::function<void(bool)> done)
{
    if (!d->IsPostgres(n)) {
        QTimer::singleShot(0, [done] { done(false); });
        return;
    }
    QByteArray rec = record;
    if (d->ctx.settings.Com[n].ConnProtocol == QLatin1String("ACK/NAK"))
        rec.chop(2);
    FirstRecord[n] = false;
    // The split and the limits of the other database kinds.
    d->lastSplit = SplitRecord(rec, d->ctx.settings.DBMS[n].SepCode.toLatin1());
    Impl::Channel &c = d->ch[n];
    for (int i = 0; i < TargetLayout::ColumnCount; ++i)
        c.lastRow[i] = d->lastSplit[i].left(TargetLayout::ColumnWidth(i));
    c.fieldsStale = true;
    d->Pg(n).Insert(c.lastRow, std::move(done));
}

void RecordStore::BeginTransfer(int n)
{
    if (!Impl::Valid(n))
        return;
    // A new transfer: what the terminal sends now is confirmed on its own.
    d->ch[n].syncFailed = false;
    if (d->IsPostgres(n)) {
        d->Pg(n).NewTransfer();
        return;
    }
    const StoreSettings &db = d->ctx.settings.DBMS[n];
    const bool overwrite =
        db.AlwaysOverwrite == QLatin1String("1") && KindOf(db.Type) != Kind::Zucchetti && OverwriteAllowed;
    if (overwrite || db.Policy == QLatin1String("NewFile")) {
        if (!d->KeepHeldRecords(n) || !CreaDB(n))
            FirstRecord[n] = true;
    }
}

void RecordStore::EndTransfer(int n)
{
    if (!Impl::Valid(n))
        return;
    // The records of the transfer reach the disk before anything else
    // happens to the file.
    SyncTarget(n);

    const StoreSettings &db = d->ctx.settings.DBMS[n];
    // The ERP database and a shared server's table are never moved, whatever
    // the policy says.
    if (db.Policy != QLatin1String("NewFile") || KindOf(db.Type) == Kind::Zucchetti
        || KindOf(db.Type) == Kind::Postgres)
        return;
    d->MoveToTimeStampedName(n);
}

bool RecordStore::CreaDB(int n)
{
    if (!Impl::Valid(n))
        return false;
    const ChannelSettings &com = d->ctx.settings.Com[n];
    const StoreSettings &db = d->ctx.settings.DBMS[n];

    // A channel not in use touches nothing. A TCP channel does not use its
    // port setting, so it is in use whatever "Port" says.
    if (com.ConnType != QLatin1String("TCP") && com.Port == QLatin1String("None"))
        return false;

    const Kind kind = KindOf(db.Type);
    if (kind == Kind::Postgres) {
        // The server's table is made when missing, never deleted: the
        // connection and the table are readied in the background.
        d->Pg(n).Prepare();
        return true;
    }
    // A FIFO or a device node in the target's place is never deleted.
    if (!d->RegularOrAbsent(n, db.Name))
        return false;
    if (kind == Kind::Zucchetti) {
        // The ERP database is never deleted or recreated, and a missing one
        // is never replaced by an empty file.
        if (!ExistingFileWritable(db.Name)) {
            d->ctx.messenger.message(kErpMissing);
            d->Terminate();
            return false;
        }
        return true;
    }

    const bool existed = QFileInfo::exists(db.Name);
    QString why;
    if (!CanOpenForAppend(db.Name, &why)) {
        d->Problem(n, QStringLiteral("The target %1 is not available: %2").arg(db.Name, why));
        d->ctx.messenger.message(DownloadFileNotAvailable(n), MsgIcon::Critical);
        return false;
    }

    const QString source = IsDatabase(kind) ? d->ctx.programDir + QLatin1Char('/') + TemplateName(kind) : QString();
    // Without its template a database target cannot be made again: an old
    // file is then kept rather than deleted for nothing, and only the empty
    // file that the append test may just have created is removed.
    const bool templateThere = !IsDatabase(kind) || FileExists(source);

    if (templateThere || !existed) {
        d->ReleaseFile(db.Name);
        QFile::remove(db.Name);
        d->ForgetUnsynced(db.Name);
    }
    if (!IsDatabase(kind))
        return true;

    // A journal left beside the old file would be played back into the new
    // one.
    if (templateThere && kind == Kind::Access) {
        for (const QString &side : SqliteSideFiles(db.Name))
            QFile::remove(side);
    }
    QString copyError = templateThere ? QString() : QStringLiteral("the template is missing");
    const bool ok = templateThere && CopyTemplate(source, db.Name, &copyError);
    if (!ok) {
        d->Log(QStringLiteral("Cannot copy the template %1 to %2: %3").arg(source, db.Name, copyError), n);
        d->ctx.messenger.message(kCannotCreate, MsgIcon::Critical);
        return false;
    }
    return true;
}

bool RecordStore::SetDB(int n)
{
    if (!Impl::Valid(n))
        return false;
    if (d->IsPostgres(n))
        return true; // a server target binds no file
    if (!FileExists(d->ctx.settings.DBMS[n].Name)) {
        if (!CreaDB(n))
            return false;
    }
    const StoreSettings &db = d->ctx.settings.DBMS[n];
    Impl::Channel &c = d->ch[n];
    d->CloseBinding(n);
    const Kind kind = KindOf(db.Type);
    c.binding = DatabaseBinding();
    if (kind == Kind::Access) {
        c.binding = {ConnectKind(kind), db.Name, QString::fromLatin1(TargetLayout::SqliteTable)};
        d->ReleaseFromOthers(n, db.Name);
        if (!c.sqlite->Open(db.Name, c.binding.RecordSource)) {
            d->Problem(n, QStringLiteral("Cannot open the database %1: %2").arg(db.Name, c.sqlite->ErrorText()));
            return false;
        }
        c.bound = Impl::Bound::Sqlite;
        c.boundFile = db.Name;
    } else if (IsDbase(kind)) {
        c.binding.Connect = ConnectKind(kind);
        const SplitPathResult parts = SplitPath(db.Name);
        if (parts.found) {
            c.binding.DatabaseName = parts.folder;
            c.binding.RecordSource = parts.file;
            const QString table = parts.folder + parts.file;
            d->ReleaseFromOthers(n, table);
            if (!c.dbase.Open(table)) {
                d->Problem(n, QStringLiteral("Cannot open the table: %1").arg(c.dbase.ErrorText()));
                return false;
            }
            c.bound = Impl::Bound::Dbase;
            c.boundFile = table;
        }
    }
    return true;
}

void RecordStore::CloseDB(int n)
{
    if (!Impl::Valid(n))
        return;
    d->CloseBinding(n);
}

void RecordStore::AddRek(int n)
{
    if (!Impl::Valid(n))
        return;
    Impl::Channel &c = d->ch[n];
    c.fields.fill(QString());
    c.fieldsStale = false;
    c.rowPending = true;
    c.rowWritten = false;
}

void RecordStore::UpdateRek(int n)
{
    if (!Impl::Valid(n))
        return;
    Impl::Channel &c = d->ch[n];
    if (!c.rowPending)
        return;
    c.rowPending = false;
    TargetRow row;
    for (int i = 0; i < TargetLayout::ColumnCount; ++i)
        row[i] = c.fields[i].toLatin1().left(TargetLayout::ColumnWidth(i));
    AppendRow(n, row);
}

void RecordStore::AppendRow(int n, const TargetRow &row)
{
    Impl::Channel &c = d->ch[n];
    c.rowWritten = false;
    QString error;
    switch (c.bound) {
    case Impl::Bound::Sqlite:
        c.rowWritten = c.sqlite->AppendRow(row);
        error = c.sqlite->ErrorText();
        break;
    case Impl::Bound::Dbase:
        // The lock stays for the channel's next rows (let go when the
        // channel is quiet, held long, or the table is closed).
        if (!c.dbase.LockRow(&error))
            break;
        c.rowWritten = c.dbase.AppendRow(row);
        error = c.dbase.ErrorText();
        if (!c.rowWritten)
            c.dbase.UnlockRow();
        break;
    case Impl::Bound::None:
        error = QStringLiteral("no table is bound to %1").arg(d->ctx.settings.DBMS[n].Name);
        break;
    }
    if (c.rowWritten)
        c.unsynced.insert(c.boundFile);
    else
        d->Problem(n, QStringLiteral("Record not written: %1").arg(error));
}

bool RecordStore::SyncTarget(int n)
{
    if (!Impl::Valid(n))
        return false;
    Impl::Channel &c = d->ch[n];
    // The end of a transfer: the target kept open over its records is
    // closed before everything goes to the disk.
    d->CloseBinding(n);
    d->ReleaseText(n);
    bool ok = true;
    QSet<QString> folders;
    const QSet<QString> files = c.unsynced;
    // A file that cannot be synced is reported once; syncing it again could
    // not bring back what the first failure lost.
    c.unsynced.clear();
    for (const QString &file : files) {
        QString error;
        if (!SyncFile(file, &error)) {
            d->Log(QStringLiteral("Cannot sync %1").arg(error), n);
            ok = false;
        }
        folders.insert(FolderOf(file));
    }
    for (const QString &folder : folders) {
        QString error;
        if (!SyncFolder(folder, &error)) {
            d->Log(QStringLiteral("Cannot sync %1").arg(error), n);
            ok = false;
        }
    }
    // A failure stays for the rest of the transfer: a second sync could
    // report success for data that the first one lost.
    if (!ok)
        c.syncFailed = true;
    return !c.syncFailed;
}

const std::array<QString, 21> &RecordStore::DBMSField(int n) const
{
    static const std::array<QString, 21> none;
    if (!Impl::Valid(n))
        return none;
    const Impl::Channel &c = d->ch[n];
    if (c.fieldsStale) {
        for (int i = 0; i < TargetLayout::ColumnCount; ++i)
            c.fields[i] = QString::fromLatin1(c.lastRow[i]);
        c.fieldsStale = false;
    }
    return c.fields;
}

const SplitRecordFields &RecordStore::LastSplit() const
{
    return d->lastSplit;
}

RecordStore::DatabaseBinding RecordStore::Binding(int n) const
{
    return Impl::Valid(n) ? d->ch[n].binding : DatabaseBinding();
}

} // namespace vx

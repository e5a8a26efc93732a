#include "store/RecordStore.h"

#include "platform/Clock.h"
#include "platform/CommandLine.h"
#include "platform/FileChecks.h"
#include "platform/Messenger.h"
#include "settings/IniStore.h"
#include "store/FileSync.h"
#include "store/TargetFactory.h"

#include <QDebug>
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
#include <vector>

namespace vx {

namespace {

const QString kNotAvailable =
    QStringLiteral("WARNING, the requested file is not available. Change the settings, please.");

} // namespace

struct RecordStore::Impl : TargetHost {
    // A file written since the last sync: its path, and a descriptor of
    // its own (opened through the one that wrote it) that follows the file
    // when it is moved; -1 when the writer gave none.
    struct WrittenFile {
        QString path;
        int fd = -1;
        dev_t device = 0;
        ino_t inode = 0;
    };
    static void CloseKept(std::vector<WrittenFile> &files)
    {
        for (const WrittenFile &f : files)
            if (f.fd >= 0)
                ::close(f.fd);
        files.clear();
    }
    struct Channel {
        std::unique_ptr<RecordTarget> target;
        // The values of the row being made or last written (what the window
        // shows); after a record's row they are made from lastRow when asked
        // for (fieldsStale), not at every record.
        mutable std::array<QString, 21> fields;
        mutable bool fieldsStale = false;
        TargetRow lastRow;
        bool rowPending = false;
        // A record stored by a target that makes no row (text, CSV): kept
        // as it is, and split for the window only when it asks.
        bool rowMade = false;
        mutable bool recordPending = false;
        mutable QByteArray lastRecord;
        // Files written on this channel since its last sync.
        std::vector<WrittenFile> unsynced;
        // A sync of this transfer failed: what was acknowledged may not be
        // on stable storage, so the transfer is not confirmed (until the
        // terminal starts again with "BOF").
        bool syncFailed = false;
        // The failure the channel's records meet now; logged when it starts
        // or changes, not again at every resend of the record.
        QString problem;
    };

    explicit Impl(Context c) : ctx(std::move(c))
    {
        idle.setSingleShot(true);
        QObject::connect(&idle, &QTimer::timeout, &idle, [this] { ReleaseIdleHolds(); });
    }
    ~Impl() override
    {
        // Every target lets go of its files while the store is still whole.
        for (Channel &c : ch) {
            c.target.reset();
            CloseKept(c.unsynced);
        }
    }

    Context ctx;
    // Lets go of what quiet channels hold open.
    QTimer idle;
    std::array<Channel, 5> ch;
    // The last split record (program-wide): the record and its separator,
    // split when asked for.
    QByteArray lastSplitRecord;
    QByteArray lastSplitSeparator;
    mutable bool lastSplitStale = false;
    mutable SplitRecordFields lastSplit;

    static bool Valid(int n) { return n >= 1 && n <= 4; }

    // Channel n's target, made again when its settings no longer fit it.
    RecordTarget &Target(int n)
    {
        std::unique_ptr<RecordTarget> &t = ch[n].target;
        const StoreSettings &db = ctx.settings.DBMS[n];
        if (!t || !t->Fits(db)) {
            t.reset(); // lets go of the old target's files first
            t = MakeTarget(TargetContext{n, db, *this}, CollectorName());
        }
        return *t;
    }

    QString CollectorName() const
    {
        const QString name = ctx.store.read(MiscSection(), QStringLiteral("CollectorName"), QString()).trimmed();
        return name.isEmpty() ? QSysInfo::machineHostName() : name;
    }

    // TargetHost.
    void Log(int n, const QString &line) override
    {
        if (ctx.log)
            ctx.log(line, n);
        else
            qWarning().noquote() << QStringLiteral("Channel %1: %2").arg(n).arg(line);
    }
    void Problem(int n, const QString &text) override
    {
        if (ch[n].problem == text)
            return;
        ch[n].problem = text;
        Log(n, text);
    }
    Messenger &Messages() override { return ctx.messenger; }
    void NotAvailable(int n, const QString &path, const QString &why) override
    {
        Problem(n, QStringLiteral("The target %1 is not available: %2; its records are refused until it can be "
                                  "written: make its folder exist and writable, or choose another Name in [%3].")
                       .arg(path, why, DbmsSection(n)));
        ctx.messenger.message(kNotAvailable, MsgIcon::Critical);
    }
    void Terminate() override
    {
        if (ctx.terminate)
            ctx.terminate(kExitSettings);
        else
            std::exit(kExitSettings);
    }
    QString ProgramDir() const override { return ctx.programDir; }
    ExchangeFiles *Exchange() const override { return ctx.exchange; }
    ZucchettiWriter *Erp() const override { return ctx.zucchetti; }
    bool RegularOrAbsent(int n, const QString &path) override
    {
        const QString odd = NotRegularFile(path);
        if (odd.isEmpty())
            return true;
        Problem(n, QStringLiteral("The target %1 is %2, not a regular file: its records are refused and it is left "
                                  "as it is; choose another Name in [%3].")
                       .arg(path, odd, DbmsSection(n)));
        return false;
    }
    void ReleaseFile(const QString &path, int except) override
    {
        for (int k = 1; k <= 4; ++k)
            if (k != except && ch[k].target)
                ch[k].target->LetGo(path);
    }
    void Written(int n, const QString &path, int fd) override
    {
        std::vector<WrittenFile> &files = ch[n].unsynced;
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            for (const WrittenFile &f : files)
                if (f.fd < 0 && f.path == path)
                    return;
            files.push_back({path});
            return;
        }
        for (const WrittenFile &f : files)
            if (f.fd >= 0 && f.device == st.st_dev && f.inode == st.st_ino)
                return;
        // The file this channel wrote before at the same path is no longer
        // the one there (moved away, replaced): the writer has let it go, so
        // it is synced now and its descriptor closed instead of being held
        // until the end of the transfer. However often the target is
        // renamed, the channel holds one descriptor per path it writes.
        for (auto it = files.begin(); it != files.end();) {
            if (it->fd >= 0 && it->path == path) {
                SyncLetGo(n, *it);
                it = files.erase(it);
            } else {
                ++it;
            }
        }
        // A descriptor of its own, so the writer may close or keep its one
        // (and its lock) as it likes.
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
        int kept;
        do {
            kept = ::open(self.constData(), O_RDONLY | O_CLOEXEC);
        } while (kept < 0 && errno == EINTR);
        files.push_back({path, kept, st.st_dev, st.st_ino});
    }
    void ForgetWritten(const QString &path) override
    {
        struct stat st {};
        const bool there = ::stat(QFile::encodeName(path).constData(), &st) == 0;
        for (int k = 1; k <= 4; ++k) {
            std::vector<WrittenFile> &files = ch[k].unsynced;
            for (auto it = files.begin(); it != files.end();) {
                if (it->path == path && (it->fd < 0 || (there && it->device == st.st_dev && it->inode == st.st_ino))) {
                    if (it->fd >= 0)
                        ::close(it->fd);
                    it = files.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
    // Syncs one written file; false (logged) when it failed. A file moved
    // away meanwhile is synced where it is now, and the log says where.
    bool SyncWritten(int n, const WrittenFile &f, QSet<QString> *folders)
    {
        folders->insert(QFileInfo(f.path).absolutePath());
        QString error;
        if (f.fd < 0) {
            if (SyncFile(f.path, &error))
                return true;
            Log(n, QStringLiteral("Cannot sync %1").arg(error));
            return false;
        }
        int rc;
        do {
            rc = ::fsync(f.fd);
        } while (rc < 0 && errno == EINTR);
        if (rc != 0) {
            Log(n, QStringLiteral("Cannot sync %1: %2").arg(f.path, ErrnoText(errno)));
            return false;
        }
        struct stat held {};
        if (::fstat(f.fd, &held) != 0 || held.st_nlink == 0) {
            // Deleted by someone else after its records were acknowledged:
            // they are gone with it. As for a file synced by its name, the
            // transfer ends well only when a file stands at the path again
            // (made afresh for the records that followed) and syncs.
            if (SyncFile(f.path, &error)) {
                Log(n, QStringLiteral("%1 was deleted during the transfer: the records written to it before that "
                                      "are gone with it")
                           .arg(f.path));
                return true;
            }
            Log(n, QStringLiteral("Cannot sync %1 (it was deleted after records of the transfer were written to it)")
                       .arg(error));
            return false;
        }
        struct stat now {};
        if (::stat(QFile::encodeName(f.path).constData(), &now) == 0 && now.st_dev == f.device && now.st_ino == f.inode)
            return true;
        char link[4096];
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(f.fd);
        const ssize_t length = ::readlink(self.constData(), link, sizeof link);
        const QString moved = length > 0 ? QFile::decodeName(QByteArray(link, length)) : QString();
        Log(n, QStringLiteral("%1 was moved to %2 during the transfer: the records written before the move are "
                              "there, synced")
                   .arg(f.path, moved.isEmpty() ? QStringLiteral("another name") : moved));
        if (!moved.isEmpty())
            folders->insert(QFileInfo(moved).absolutePath());
        return true;
    }
    // Syncs a written file that the channel's writer let go, with its
    // folders, and closes its descriptor. A failure fails the transfer, as
    // at its end: its "EOF" is refused.
    void SyncLetGo(int n, WrittenFile &f)
    {
        QSet<QString> folders;
        bool ok = SyncWritten(n, f, &folders);
        ::close(f.fd);
        f.fd = -1;
        ok = SyncFolders(n, folders) && ok;
        if (!ok)
            ch[n].syncFailed = true;
    }
    // Syncs the folders of written files (their names); false (logged) when
    // one failed.
    bool SyncFolders(int n, const QSet<QString> &folders)
    {
        bool ok = true;
        for (const QString &folder : folders) {
            QString error;
            if (!SyncFolder(folder, &error)) {
                Log(n, QStringLiteral("Cannot sync %1").arg(error));
                ok = false;
            }
        }
        return ok;
    }
    void HoldIdle() override
    {
        if (!idle.isActive())
            idle.start(RecordTarget::HoldIdleMs);
    }
    const TargetRow &MakeRow(int n, const QByteArray &record) override
    {
        ch[n].rowPending = false;
        return SplitRow(n, record);
    }

    // The row straight from the split (the values as AddRek and UpdateRek
    // would carry them: single-byte text, cut to the column); the values the
    // window shows, and the program-wide split, are made from it when asked
    // for. The split is views into the record, and each value is copied into
    // the room its column had at the last row: no allocation per row.
    const TargetRow &SplitRow(int n, const QByteArray &record)
    {
        char byte = 0;
        const QByteArrayView separator = SeparatorOf(ctx.settings.DBMS[n].SepCode, &byte);
        SplitRecordViews parts;
        SplitRecordInto(record, separator, &parts);
        Channel &c = ch[n];
        for (int i = 0; i < TargetLayout::ColumnCount; ++i)
            CopyInto(&c.lastRow[i], parts[i].first(qMin(parts[i].size(), qsizetype(TargetLayout::ColumnWidth(i)))));
        CopyInto(&lastSplitRecord, record);
        CopyInto(&lastSplitSeparator, separator);
        lastSplitStale = true;
        c.fieldsStale = true;
        c.rowMade = true;
        c.recordPending = false;
        return c.lastRow;
    }

    // SepCode as the bytes the split compares: the text of one character as
    // its single-byte character ("?" when it has none, as a conversion of the
    // text would give), any other text as no separator at all.
    static QByteArrayView SeparatorOf(const QString &sepCode, char *byte)
    {
        if (sepCode.size() != 1)
            return {};
        const char16_t u = sepCode.at(0).unicode();
        *byte = u < 0x100 ? char(u) : '?';
        return QByteArrayView(byte, 1);
    }

    // *to = the bytes of from, in the room *to already has when it holds it
    // alone; a null view gives a null value, an empty one an empty value.
    static void CopyInto(QByteArray *to, QByteArrayView from)
    {
        if (from.isNull()) {
            if (!to->isNull())
                *to = QByteArray();
            return;
        }
        if (to->size() != from.size() || !to->isDetached())
            to->resize(from.size());
        if (to->isNull())
            *to = QByteArray("", 0);
        else if (!from.isEmpty())
            std::memcpy(to->data(), from.data(), size_t(from.size()));
    }

    // A record was stored: a failure before is over.
    void Stored(int n)
    {
        if (ch[n].problem.isEmpty())
            return;
        ch[n].problem.clear();
        Log(n, QStringLiteral("Records are stored again in %1").arg(ctx.settings.DBMS[n].Name));
    }

    // Lets go of what quiet channels hold.
    void ReleaseIdleHolds()
    {
        const qint64 now = MonotonicMs();
        bool held = false;
        for (int k = 1; k <= 4; ++k)
            if (ch[k].target && ch[k].target->ReleaseIdle(now))
                held = true;
        if (held)
            idle.start(RecordTarget::HoldIdleMs);
    }

    // Under "NewFile" the target is made afresh for a transfer; records it
    // already holds (a transfer the terminal started, a run before a
    // restart) are first moved to their own time-stamped name, never lost.
    bool KeepHeldRecords(int n)
    {
        RecordTarget &t = Target(n);
        if (ctx.settings.DBMS[n].Policy != QLatin1String("NewFile")
            || t.UnderPolicies() != RecordTarget::Policies::Apply)
            return true;
        if (!t.HoldsRecords())
            return true;
        return t.MoveToTimeStampedName(ctx.clock.timeOfDay());
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
};

RecordStore::RecordStore(Context context) : d(std::make_unique<Impl>(std::move(context))) {}

RecordStore::~RecordStore() = default;

bool RecordStore::StoreRecord(const QByteArray &record, int n)
{
    if (!Impl::Valid(n)) {
        d->Log(n, QStringLiteral("Record not stored: there is no channel %1").arg(n));
        return false;
    }
    RecordTarget &t = d->Target(n);
    if (t.AnswersLater())
        return t.Store(record); // refused: its answers come through StoreRecordLater
    Impl::Channel &c = d->ch[n];
    c.rowMade = false;
    const bool ok = StoreRecordAs(record, n);
    if (ok) {
        d->Stored(n);
        if (!c.rowMade) {
            c.lastRecord = record;
            c.recordPending = true;
        }
    }
    return ok;
}

bool RecordStore::StoreRecordAs(const QByteArray &rec, int n)
{
    using Result = RecordTarget::Result;
    RecordTarget *t = &d->Target(n);
    // What the target holds open since the last record of this transfer.
    if (!FirstRecord[n]) {
        switch (t->StoreHeld(rec)) {
        case Result::Stored:
            return true;
        case Result::Refused:
        case Result::Unavailable:
            return false;
        case Result::NotTaken:
            break;
        }
    }
    if (!d->RegularOrAbsent(n, d->ctx.settings.DBMS[n].Name))
        return false;
    // The first record (re)creates the target where the policy asks for it.
    if (FirstRecord[n]) {
        const QString &policy = d->ctx.settings.DBMS[n].Policy;
        if (policy == QLatin1String("OverWrite") && t->UnderPolicies() == RecordTarget::Policies::Apply) {
            if (!CreaDB(n))
                return false;
        }
        if (policy == QLatin1String("NewFile")) {
            d->ReloadStoreSettings();
            t = &d->Target(n);
            if (!d->KeepHeldRecords(n) || !CreaDB(n))
                return false;
        }
    }

    switch (t->StoreOpening(rec)) {
    case Result::Stored:
        FirstRecord[n] = false;
        return true;
    case Result::Refused:
        FirstRecord[n] = false;
        return false;
    case Result::Unavailable:
        return false;
    case Result::NotTaken:
        break;
    }

    // A target kept open since the last record, that nobody else touched,
    // takes the next one without binding it again.
    if (!t->Reusable()) {
        if (!SetDB(n))
            return false;
        QString why;
        if (!t->Writable(&why)) {
            d->NotAvailable(n, d->ctx.settings.DBMS[n].Name, why);
            CloseDB(n);
            return false;
        }
    }
    FirstRecord[n] = false;
    return t->Store(rec);
}

bool RecordStore::AnswersLater(int n) const
{
    return Impl::Valid(n) && d->Target(n).AnswersLater();
}

void RecordStore::StoreRecordLater(const QByteArray &record, int n, std::function<void(bool)> done)
{
    if (!AnswersLater(n)) {
        QTimer::singleShot(0, [done] { done(false); });
        return;
    }
    FirstRecord[n] = false;
    // The split and the limits of the other database kinds.
    const TargetRow &row = d->SplitRow(n, record);
    d->Target(n).StoreLater(row, std::move(done));
}

void RecordStore::BeginTransfer(int n)
{
    if (!Impl::Valid(n))
        return;
    // A new transfer: what the terminal sends now is confirmed on its own.
    d->ch[n].syncFailed = false;
    RecordTarget &t = d->Target(n);
    t.NewTransfer();
    if (t.UnderPolicies() == RecordTarget::Policies::Ignored)
        return;
    const StoreSettings &db = d->ctx.settings.DBMS[n];
    const bool overwrite = db.AlwaysOverwrite == QLatin1String("1")
                           && t.UnderPolicies() == RecordTarget::Policies::Apply && OverwriteAllowed;
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

    // The ERP database and a shared server's table are never moved, whatever
    // the policy says.
    RecordTarget &t = d->Target(n);
    if (d->ctx.settings.DBMS[n].Policy != QLatin1String("NewFile")
        || t.UnderPolicies() != RecordTarget::Policies::Apply)
        return;
    t.MoveToTimeStampedName(d->ctx.clock.timeOfDay());
}

bool RecordStore::CreaDB(int n)
{
    if (!Impl::Valid(n))
        return false;
    // A channel not in use touches nothing. A TCP channel does not use its
    // port setting, so it is in use whatever "Port" says.
    const ChannelSettings &com = d->ctx.settings.Com[n];
    if (com.ConnType != QLatin1String("TCP") && com.Port == QLatin1String("None"))
        return false;
    return d->Target(n).Create();
}

bool RecordStore::SetDB(int n)
{
    if (!Impl::Valid(n))
        return false;
    if (!d->Target(n).Exists() && !CreaDB(n))
        return false;
    return d->Target(n).Bind();
}

void RecordStore::CloseDB(int n)
{
    if (Impl::Valid(n) && d->ch[n].target)
        d->ch[n].target->Close();
}

void RecordStore::AddRek(int n)
{
    if (!Impl::Valid(n))
        return;
    Impl::Channel &c = d->ch[n];
    c.fields.fill(QString());
    c.fieldsStale = false;
    c.recordPending = false;
    c.rowPending = true;
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
        row[i] = ToWindows1252(c.fields[i]).left(TargetLayout::ColumnWidth(i));
    d->Target(n).PutRow(row);
}

bool RecordStore::SyncTarget(int n)
{
    if (!Impl::Valid(n))
        return false;
    Impl::Channel &c = d->ch[n];
    // The end of a transfer: the target kept open over its records is
    // closed before everything goes to the disk.
    if (c.target)
        c.target->Close();
    bool ok = true;
    QSet<QString> folders;
    // A file that cannot be synced is reported once; syncing it again could
    // not bring back what the first failure lost.
    std::vector<Impl::WrittenFile> files;
    files.swap(c.unsynced);
    for (const Impl::WrittenFile &file : files)
        ok = d->SyncWritten(n, file, &folders) && ok;
    Impl::CloseKept(files);
    ok = d->SyncFolders(n, folders) && ok;
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
    if (c.recordPending) {
        const SplitRecordFields split = SplitRecord(c.lastRecord, d->ctx.settings.DBMS[n].SepCode.toLatin1());
        for (int i = 0; i < TargetLayout::ColumnCount; ++i)
            c.fields[i] = QString::fromLatin1(split[i].left(TargetLayout::ColumnWidth(i)));
        c.recordPending = false;
        c.fieldsStale = false;
        return c.fields;
    }
    if (c.fieldsStale) {
        for (int i = 0; i < TargetLayout::ColumnCount; ++i)
            c.fields[i] = FromWindows1252(c.lastRow[i]);
        c.fieldsStale = false;
    }
    return c.fields;
}

const SplitRecordFields &RecordStore::LastSplit() const
{
    if (d->lastSplitStale) {
        d->lastSplit = SplitRecord(d->lastSplitRecord, d->lastSplitSeparator);
        d->lastSplitStale = false;
    }
    return d->lastSplit;
}

RecordStore::DatabaseBinding RecordStore::Binding(int n) const
{
    return Impl::Valid(n) && d->ch[n].target ? d->ch[n].target->Binding() : DatabaseBinding();
}

} // namespace vx

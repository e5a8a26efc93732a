#pragma once

#include "settings/Settings.h"
#include "store/TargetLayout.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTime>
#include <functional>

namespace vx {

class Messenger;

// What the record store needs from the data exchange: whether a collection
// started through it is running, and the File(n) value for text targets.
class ExchangeFiles {
public:
    virtual ~ExchangeFiles() = default;
    virtual bool ExchangeActive() const = 0;
    // The File(n) value (read with the root and path from the settings
    // store); empty when missing.
    virtual QString ExchangeFile(int channel) const = 0;
};

// Where a "Zucchetti" target's records go: the ERP inventory tables.
class ZucchettiWriter {
public:
    virtual ~ZucchettiWriter() = default;
    // Writes one record (check characters already dropped) into the ERP
    // database at dbPath; false when it was refused.
    virtual bool WriteRecord(const QByteArray &record, const QString &dbPath, int channel) = 0;
};

// A channel's database binding as the last SetDB made it: connect kind
// ("Access", "dBASE III", "dBASE IV", "dBASE 5.0"), database name (the file
// for "Access", the folder with its trailing "/" for dBase) and record
// source ("Vendrix", or the table's file name). All empty for the other
// kinds, and for a dBase name without a folder part.
struct DatabaseBinding {
    QString Connect;
    QString DatabaseName;
    QString RecordSource;
};

// What the record store gives the targets of its four channels: the channel
// log and its messages, and the things that concern every channel at once
// (one holder per file, the files written since the last sync).
class TargetHost {
public:
    virtual ~TargetHost() = default;
    virtual void Log(int n, const QString &line) = 0;
    // A record could not be stored: the cause is logged once while it lasts.
    virtual void Problem(int n, const QString &text) = 0;
    virtual Messenger &Messages() = 0;
    // The fixed message of a target that cannot be opened, and a log line
    // that says which file and why.
    virtual void NotAvailable(int n, const QString &path, const QString &why) = 0;
    // Ends the program (the ERP database is missing).
    virtual void Terminate() = 0;
    virtual QString ProgramDir() const = 0;
    virtual ExchangeFiles *Exchange() const = 0;
    virtual ZucchettiWriter *Erp() const = 0;

    // False (logged) when path is there and is not a regular file: such a
    // node is never opened, written, deleted or replaced.
    virtual bool RegularOrAbsent(int n, const QString &path) = 0;
    // Every channel's target lets go of path (it is being deleted, moved,
    // or checked as a whole); with except, every channel but that one.
    virtual void ReleaseFile(const QString &path, int except = 0) = 0;
    // Channel n wrote to path: it goes to stable storage at the next sync.
    // With fd (the descriptor that wrote it) the file is synced whatever
    // its name is by then: moved away during the transfer, the records
    // written before the move are synced where they are.
    virtual void Written(int n, const QString &path, int fd = -1) = 0;
    // The file at path is about to be deleted or moved by the store: no
    // channel syncs it any more. (A file someone else moved away from path
    // before is still synced where it is now.)
    virtual void ForgetWritten(const QString &path) = 0;
    // Something is held open: the idle check runs soon.
    virtual void HoldIdle() = 0;
    // The row of channel n's record (split at the separator, cut to the
    // columns); it is also what the window shows.
    virtual const TargetRow &MakeRow(int n, const QByteArray &record) = 0;
};

// What a target is made for: its channel, the channel's DBMS(n) settings
// (read live: the policy and the separator may change between records) and
// the store that owns it.
struct TargetContext {
    int channel = 0;
    const StoreSettings &db;
    TargetHost &host;
};

// One record-store target of one channel: how a kind of target is created,
// opened, written and let go. RecordStore decides when (under the write
// policies Append, OverWrite and NewFile); a target does what its kind
// needs. The defaults here are those of a target that is one file.
class RecordTarget {
public:
    // How the write policies treat the target.
    enum class Policies {
        Apply,     // recreated from nothing or its template, moved to time-stamped names
        CheckOnly, // never recreated or moved: (re)creating it only checks that it is there
        Ignored,   // rows on a shared server: every policy appends
    };
    // What became of a record.
    enum class Result {
        NotTaken,    // not this way: the store goes on with the next step
        Stored,      // written (and noted for the next sync)
        Refused,     // a write was tried and failed (the reason is logged)
        Unavailable, // the target could not be opened: nothing was tried
    };
    using Done = std::function<void(bool stored)>;

    // What a target holds open between records (a text file, a dBase
    // table's lock) is let go once its channel has been quiet this long,
    // and after the record that finds it held this long (so another
    // collector writing the same file gets its turn).
    static constexpr qint64 HoldIdleMs = 20;
    static constexpr qint64 HoldLongestMs = 100;

    explicit RecordTarget(const TargetContext &context);
    virtual ~RecordTarget();
    RecordTarget(const RecordTarget &) = delete;
    RecordTarget &operator=(const RecordTarget &) = delete;

    int Channel() const { return m_channel; }
    // The Type text the target was made for.
    const QString &Type() const { return m_type; }
    // Still the target for these settings? Otherwise the store makes a new
    // one.
    bool Fits(const StoreSettings &db) const
    {
        return Same(db.Type, m_type) && (!m_fixedName || Same(db.Name, m_name))
               && (!m_fixedSeparator || Same(db.SepCode, m_separator));
    }
    // A short description for log lines: the kind and where it writes.
    virtual QString Describe() const;

    virtual Policies UnderPolicies() const { return Policies::Apply; }
    // True when a record's answer comes later, through StoreLater.
    virtual bool AnswersLater() const { return false; }

    // What the write policy needs at the beginning of a transfer.
    // The target is there (for a file: a regular file that can be read).
    virtual bool Exists() const;
    // It holds records (a file that is not empty).
    virtual bool HoldsRecords();
    // Moves it to its time-stamped name (a counter added when that name is
    // taken); true when there was nothing to move. False when it could not
    // be moved.
    virtual bool MoveToTimeStampedName(const QTime &now);
    // (Re)creates it, empty (CreaDB without the channel's checks).
    virtual bool Create();
    // The kind's part of a new transfer ("BOF").
    virtual void NewTransfer() {}

    // Opens it for writing (SetDB's binding); false with the reason logged.
    virtual bool Bind() { return true; }
    // Can be written at its path; *why says why not.
    virtual bool Writable(QString *why) const;
    // The binding kept since the last record can take the next one after
    // only a look at the file (no SetDB, no append test).
    virtual bool Reusable() const { return false; }
    virtual DatabaseBinding Binding() const { return {}; }

    // Storing one record (check characters already dropped), in the order
    // the store tries them:
    // - StoreHeld: the next record of a transfer into what the target holds
    //   open since the last one;
    virtual Result StoreHeld(const QByteArray &record);
    // - StoreOpening: the usual case of a target that is there, with one
    //   opening standing in for the checks of SetDB and Writable;
    virtual Result StoreOpening(const QByteArray &record);
    // - Store: after SetDB and Writable passed; true when it was written.
    virtual bool Store(const QByteArray &record) = 0;
    // - StoreLater (AnswersLater): done(stored) runs later on the caller's
    //   thread, in the order of the calls.
    virtual void StoreLater(const TargetRow &row, Done done);
    // One row from the window's values (UpdateRek); false (logged) when no
    // table is bound.
    virtual bool PutRow(const TargetRow &row);

    // Lets go of what it holds open, so the file can be synced, deleted or
    // moved (CloseDB, the end of a transfer).
    virtual void Close() {}
    // Lets go when it holds path open.
    virtual void LetGo(const QString &path) { Q_UNUSED(path); }
    // Lets go of what it held open and unused since idleSince (monotonic
    // milliseconds); true when something stays held.
    virtual bool ReleaseIdle(qint64 idleSince)
    {
        Q_UNUSED(idleSince);
        return false;
    }

protected:
    const StoreSettings &Settings() const { return m_db; }
    const QString &Name() const { return m_db.Name; }
    TargetHost &Host() const { return m_host; }
    void Log(const QString &line) const { m_host.Log(m_channel, line); }
    void Problem(const QString &text) const { m_host.Problem(m_channel, text); }
    // The target stays bound to the Name it was made for (a server), or to
    // the SepCode (a kind that takes its separator when it is made).
    void FixName() { m_fixedName = true; }
    void FixSeparator() { m_fixedSeparator = true; }
    // The template a database kind is created from (in the program folder);
    // empty for a kind that is created empty.
    virtual QString TemplateName() const { return {}; }
    // Files beside the target that go with it (a database's journal).
    virtual QStringList SideFiles() const { return {}; }

private:
    const int m_channel;
    const StoreSettings &m_db;
    TargetHost &m_host;
    // The target's copy shares the settings' text until the settings change:
    // asked at every record, the answer then needs no comparison of text.
    static bool Same(const QString &a, const QString &b)
    {
        return (a.constData() == b.constData() && a.size() == b.size()) || a == b;
    }
    const QString m_type;
    const QString m_name;
    const QString m_separator;
    bool m_fixedName = false;
    bool m_fixedSeparator = false;
};

} // namespace vx

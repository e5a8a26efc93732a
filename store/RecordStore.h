#pragma once

#include "settings/Settings.h"
#include "store/TargetLayout.h"
#include "store/Utilities.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <functional>
#include <memory>

namespace vx {

class IniStore;
class Messenger;
class Clock;

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

// Writes accepted records into each channel's target (text, CSV, SQLite for
// "Access 2.0 (*.mdb)", dBase, or the ERP) under its write policy. One
// instance serves the four channels. While a channel's records come one
// after the other its target stays open from one record to the next: a text
// file (locked against other writers) as long as it is still the file at
// its path, a database table while nobody else touches its file. Either is
// let go at the end of the transfer (SyncTarget), and a text file also when
// its channel has been quiet for a moment.
class RecordStore {
public:
    struct Context {
        Settings &settings;                   // program-wide records (DBMS(n) reloaded under "NewFile")
        IniStore &store;                      // the settings store
        Messenger &messenger;                 // failure messages
        Clock &clock;                         // time of day for time-stamped names
        QString programDir;                   // where the templates are
        ExchangeFiles *exchange = nullptr;    // File(n) override; none: never active
        ZucchettiWriter *zucchetti = nullptr; // none: "Zucchetti" records are refused
        // Ends the program (the ERP database is missing). None: exit(1).
        std::function<void(int exitCode)> terminate = {};
        // One log line (the channel log); none: qWarning.
        std::function<void(const QString &line, int channel)> log = {};
    };

    explicit RecordStore(Context context);
    ~RecordStore();

    bool StoreRecord(const QByteArray &record, int n);
    // A target on a database server ("PostgreSQL") is written off the
    // caller's thread: true when channel n's records go through
    // StoreRecordLater instead of StoreRecord.
    bool StoresLater(int n) const;
    // Stores the record on channel n's server target; done(true) runs later
    // on the caller's thread once its row is committed, done(false) when it
    // was refused. Answers come in the order of the calls.
    void StoreRecordLater(const QByteArray &record, int n, std::function<void(bool stored)> done);
    void BeginTransfer(int n);
    void EndTransfer(int n);
    bool CreaDB(int n);
    bool SetDB(int n);
    void CloseDB(int n);
    void AddRek(int n);
    void UpdateRek(int n);

    // Flushes channel n's target to stable storage (fsync of the file, or a
    // committed database). Called before a terminal's "EOF" is answered, so
    // an acknowledged transfer survives a crash: false when a sync of the
    // current transfer failed (then every later call of the same transfer
    // is false too, until BeginTransfer), and the "EOF" is refused.
    bool SyncTarget(int n);

    // True for every channel at start-up: the next record (re)creates the
    // target first where the policy asks for it.
    std::array<bool, 5> FirstRecord{{true, true, true, true, true}};
    // Gates AlwaysOverwrite; maintained by the reception.
    bool OverwriteAllowed = true;

    // The 21 values of the last row written on channel n: AllRek (cut to
    // 255) and Field1..Field20 (cut to 50). The window shows them.
    const std::array<QString, 21> &DBMSField(int n) const;
    // The last split record (program-wide).
    const SplitRecordFields &LastSplit() const;

    // Channel n's database binding as the last SetDB made it: connect kind
    // ("Access", "dBASE III", "dBASE IV", "dBASE 5.0"), database name (the
    // file for "Access", the folder with its trailing "/" for dBase) and
    // record source ("Vendrix", or the table's file name). All empty for
    // the text kinds, and for a dBase name without a folder part.
    struct DatabaseBinding {
        QString Connect;
        QString DatabaseName;
        QString RecordSource;
    };
    DatabaseBinding Binding(int n) const;

private:
    bool StoreRecordAs(const QByteArray &record, int n);
    // A record as one row of channel n's bound database table.
    bool WriteRow(const QByteArray &record, int n);
    // Appends row to channel n's bound table (rowWritten says whether it went in).
    void AppendRow(int n, const TargetRow &row);

    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace vx

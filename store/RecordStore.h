#pragma once

#include "settings/Settings.h"
#include "store/RecordTarget.h"
#include "store/RecordText.h"
#include "store/TargetLayout.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <functional>
#include <memory>

namespace vx {

class IniStore;
class Messenger;
class Clock;

// Writes accepted records into each channel's target under its write
// policy. One instance serves the four channels. It decides *when* a target
// is (re)created, moved, written and synced (the policies Append, OverWrite
// and NewFile, FirstRecord, AlwaysOverwrite) and keeps the values the window
// shows; each channel's RecordTarget (made by MakeTarget for its DBMS(n)
// settings, again when they change) knows *how* for its kind. While a
// channel's records come one after the other its target stays open from
// one record to the next; it is let go at the end of the transfer
// (SyncTarget), and when its channel has been quiet for a moment.
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
        // Ends the program (the ERP database is missing) with the given code
        // (kExitSettings). None: exit(kExitSettings).
        std::function<void(int exitCode)> terminate = {};
        // One log line (the channel log); none: qWarning.
        std::function<void(const QString &line, int channel)> log = {};
    };

    explicit RecordStore(Context context);
    ~RecordStore();

    // Stores a record on channel n's target: the record as it is to be
    // stored, its check characters (on an "ACK/NAK" channel) already removed
    // by the reception.
    bool StoreRecord(const QByteArray &record, int n);
    // True when channel n's target answers later (a database server,
    // written off the caller's thread): its records go through
    // StoreRecordLater instead of StoreRecord.
    bool AnswersLater(int n) const;
    // Stores the record on channel n's target that answers later; done(true)
    // runs later on the caller's thread once its row is committed,
    // done(false) when it was refused (or the target answers at once).
    // Answers come in the order of the calls.
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

    // Channel n's database binding as the last SetDB made it (see
    // DatabaseBinding).
    using DatabaseBinding = vx::DatabaseBinding;
    DatabaseBinding Binding(int n) const;

private:
    bool StoreRecordAs(const QByteArray &record, int n);

    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace vx

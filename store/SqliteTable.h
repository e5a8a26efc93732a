#pragma once

#include "store/TargetLayout.h"

#include <QElapsedTimer>
#include <QString>

struct sqlite3;
struct sqlite3_stmt;

namespace vx {

// An SQLite database file holding the record-store table (text columns
// AllRek, Field1..Field20), opened and set up through Qt SQL, its rows
// inserted through SQLite's own calls on the same connection. Each instance
// owns one named connection; the file itself is open only between Open and
// Close, and the insert statement is prepared once for all the rows in
// between.
//
// Rows are committed one by one into a write-ahead log without waiting for
// the disk; closing folds the log into the file with SQLite's own syncs,
// and the store syncs the file once more at the end of a transfer.
class SqliteTable {
public:
    explicit SqliteTable(QString connectionName);
    ~SqliteTable();
    SqliteTable(const SqliteTable &) = delete;
    SqliteTable &operator=(const SqliteTable &) = delete;

    // Writes a new database file holding the empty table (the file is
    // replaced).
    static bool Create(const QString &path, const QString &table, QString *error = nullptr);

    bool Open(const QString &path, const QString &table);
    bool IsOpen() const { return m_open; }
    // Inserts and commits one row.
    bool AppendRow(const TargetRow &row);
    void Close();
    // The last Close could not fold the write-ahead log back (another
    // program had the file open): rows are in the log, which is to be
    // synced.
    bool LogLeft() const { return m_logLeft; }

    QString ErrorText() const { return m_error; }

    // How long a statement waits for another program's lock on the file.
    static constexpr int kBusyTimeoutMs = 250;
    // The page size of the files Create makes.
    static constexpr int kPageSize = 1024;
    // When a commit leaves the write-ahead log this long (in pages), it is
    // checkpointed, at most once every kCheckpointEveryMs, unless it has
    // reached kCheckpointMostPages.
    static constexpr int kCheckpointPages = 1000;
    static constexpr int kCheckpointEveryMs = 1000;
    static constexpr int kCheckpointMostPages = 32000;

private:
    static int Checkpoint(void *self, sqlite3 *db, const char *name, int pages);
    void WriteBehind(int pages);

    QString m_connection;
    QString m_table;
    QString m_insert;
    // The connection under Qt's, and the insert prepared on it once per
    // opening: rows are bound and stepped through SQLite's own calls, which
    // cost a fraction of binding values through Qt's query.
    sqlite3 *m_handle = nullptr;
    sqlite3_stmt *m_insertStatement = nullptr;
    // The columns bound to NULL in the statement now: a binding outlives
    // the row it was made for, so a column NULL again is not bound again.
    std::array<bool, TargetLayout::ColumnCount> m_boundNull{};
    // A value's UTF-8 text, for a value with bytes above 127 (bound without
    // a copy, so it lives until the next row).
    std::array<QByteArray, TargetLayout::ColumnCount> m_converted;
    QString m_path;
    QString m_error;
    bool m_open = false;
    bool m_logLeft = false;
    QElapsedTimer m_lastCheckpoint;
    // The write-ahead log, opened by this table to hand its frames to the
    // disk ahead of the syncs (see WriteBehind), and how many frames it held
    // when that was last asked for.
    int m_logFd = -1;
    bool m_logOpenTried = false;
    int m_logBehind = 0;
};

// The side files SQLite may keep beside a database file (rollback journal,
// write-ahead log and its index).
QStringList SqliteSideFiles(const QString &path);

} // namespace vx

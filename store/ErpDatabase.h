#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QVariant>
#include <functional>

namespace vx {

class Messenger;

// What the ERP bridge needs around it: where its one message goes, how the
// program ends when the ERP database is missing, and where failures are
// logged.
struct ErpContext {
    Messenger &messenger;
    // Ends the program (the ERP database is missing) with the given code
    // (kExitSettings). None: exit(kExitSettings).
    std::function<void(int exitCode)> terminate;
    // One log line (the channel log); none: qWarning.
    std::function<void(const QString &line, int channel)> log;
};

// The two-line message shown when the ERP database is missing:
// "WARNING, database ZUCCHETTI does not exist." CR LF
// "Create database and re-run program!".
QString ErpMissingDatabaseMessage();

// True when path names a readable SQLite database file. Only reads: a
// missing file is never created, and a file that is not an SQLite database
// (an empty one included) counts as missing.
bool ErpDatabaseExists(const QString &path);

// Logs that the database at path is missing, shows the missing-database
// message and ends the program through the context's terminate callback.
void ErpReportMissingDatabase(const ErpContext &context, const QString &path);

// Writes one line to the context's log.
void ErpLog(const ErpContext &context, const QString &line, int channel);

// A connection to the ERP database for one operation, closed and released
// when it goes out of scope. The file is opened without the right to create
// it, so a database that vanished in between is an open failure, never a
// new empty file.
class ErpConnection {
public:
    enum class Mode { ReadOnly, ReadWrite };

    ErpConnection(const QString &path, Mode mode);
    ~ErpConnection();
    ErpConnection(const ErpConnection &) = delete;
    ErpConnection &operator=(const ErpConnection &) = delete;

    bool isOpen() const { return m_open; }
    QSqlDatabase database() const;
    // Why the opening failed.
    QString errorText() const { return m_error; }

private:
    QString m_name;
    bool m_open = false;
    QString m_error;
};

// The value of a database field; empty when the field is Null.
QString FieldValue(const QVariant &field);

} // namespace vx

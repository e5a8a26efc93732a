#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace vx::test {

// Rows of a record-store table read by programs other than the store's own
// writers: the sqlite3 command-line tool for the SQLite file, Debian's
// Python dbf module for dBase tables. Each row holds AllRek, Field1..Field20
// (trailing blanks of dBase columns removed). A reader that fails adds a
// test failure and gives no rows.
// What the program prints; a test failure (and nothing) when it fails.
QByteArray RunProgram(const QString &program, const QStringList &arguments);
QList<QStringList> SqliteRows(const QString &path);
QList<QStringList> DbaseRows(const QString &path);
// The AllRek column alone: of the SQLite file for an "Access" target type,
// else of the dBase table.
QStringList AllRekColumn(const QString &type, const QString &path);
// The column names of a dBase table, as the Python module reports them.
QStringList DbaseColumns(const QString &path);

} // namespace vx::test

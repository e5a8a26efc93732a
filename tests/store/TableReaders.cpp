#include "TableReaders.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

namespace vx::test {

QByteArray RunProgram(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(20000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        ADD_FAILURE() << qPrintable(program) << " failed: " << process.readAllStandardError().constData();
        return {};
    }
    return process.readAllStandardOutput();
}

namespace {

QStringList Columns()
{
    QStringList names{QStringLiteral("AllRek")};
    for (int i = 1; i <= 20; ++i)
        names << QStringLiteral("Field%1").arg(i);
    return names;
}

// Prints {"fields": [...], "rows": [[...], ...]} for the table named on the
// command line.
const char *const kDbfScript = R"(
import dbf, json, sys
table = dbf.Table(sys.argv[1])
table.open(dbf.READ_ONLY)
names = list(table.field_names)
rows = [[(record[name] or '').rstrip() for name in names] for record in table]
table.close()
print(json.dumps({'fields': names, 'rows': rows}))
)";

} // namespace

QList<QStringList> SqliteRows(const QString &path)
{
    const QByteArray out = RunProgram(
        QStringLiteral("sqlite3"), {QStringLiteral("-json"), path,
                                    QStringLiteral("SELECT %1 FROM Vendrix ORDER BY rowid").arg(Columns().join(','))});
    QList<QStringList> rows;
    if (out.trimmed().isEmpty())
        return rows;
    const QJsonArray array = QJsonDocument::fromJson(out).array();
    for (const QJsonValue &value : array) {
        const QJsonObject object = value.toObject();
        QStringList row;
        for (const QString &column : Columns())
            row << object.value(column).toString();
        rows << row;
    }
    return rows;
}

static QJsonObject DbaseDump(const QString &path)
{
    // Debian's Python modules belong to the system interpreter.
    const QByteArray out =
        RunProgram(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QString::fromLatin1(kDbfScript), path});
    return QJsonDocument::fromJson(out).object();
}

QList<QStringList> DbaseRows(const QString &path)
{
    QList<QStringList> rows;
    for (const QJsonValue &value : DbaseDump(path).value(QStringLiteral("rows")).toArray()) {
        QStringList row;
        for (const QJsonValue &field : value.toArray())
            row << field.toString();
        rows << row;
    }
    return rows;
}

QStringList AllRekColumn(const QString &type, const QString &path)
{
    QStringList out;
    for (const QStringList &row : type.startsWith(QLatin1String("Access")) ? SqliteRows(path) : DbaseRows(path))
        out << row.value(0);
    return out;
}

QStringList DbaseColumns(const QString &path)
{
    QStringList names;
    for (const QJsonValue &value : DbaseDump(path).value(QStringLiteral("fields")).toArray())
        names << value.toString();
    return names;
}

} // namespace vx::test

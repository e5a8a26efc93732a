#pragma once

// Helpers shared by the ERP bridge tests: demo databases made by the
// shipped script, and the sqlite3 tool as an independent reader and writer.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace vx::test {

// Makes a demo ERP database at path with the shipped script (--empty: the
// tables and the query without articles). Returns the script's output when
// it failed, empty on success.
inline QString makeDemoErp(const QString &path, bool empty = false)
{
    QProcess p;
    QStringList args{QStringLiteral(VX_ERP_DEMO_SCRIPT)};
    if (empty)
        args << QStringLiteral("--empty");
    args << path;
    p.start(QStringLiteral("sh"), args);
    if (!p.waitForFinished(20000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QStringLiteral("make-demo-erp failed: ") + QString::fromLocal8Bit(p.readAllStandardError());
    return {};
}

// Runs SQL with the sqlite3 tool; its output, fields separated by "|",
// rows by LF, without the last LF.
inline QString sqlite(const QString &db, const QString &sql)
{
    QProcess p;
    p.start(QStringLiteral("sqlite3"), {QStringLiteral("-bail"), db, sql});
    p.waitForFinished(20000);
    QByteArray out = p.readAllStandardOutput();
    if (out.endsWith('\n'))
        out.chop(1);
    const QByteArray err = p.readAllStandardError();
    if (!err.isEmpty())
        return QStringLiteral("sqlite3 error: ") + QString::fromLocal8Bit(err);
    return QString::fromUtf8(out);
}

} // namespace vx::test

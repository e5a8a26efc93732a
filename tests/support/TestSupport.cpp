#include "TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QTcpServer>
#include <QThread>

namespace vx::test {

TempHome::TempHome()
{
    m_hadPrevious = qEnvironmentVariableIsSet("VENDRIX_HOME");
    m_previous = qgetenv("VENDRIX_HOME");
    qputenv("VENDRIX_HOME", m_dir.path().toLocal8Bit());
}

TempHome::~TempHome()
{
    if (m_hadPrevious)
        qputenv("VENDRIX_HOME", m_previous);
    else
        qunsetenv("VENDRIX_HOME");
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(content);
}

bool waitUntil(const std::function<bool()> &pred, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

QString programDir()
{
    // VENDRIX_TEST_PROGRAM_DIR points the tests at another program folder
    // (an installed one, say); by default they use the one of their build.
    const QString fromEnv = qEnvironmentVariable("VENDRIX_TEST_PROGRAM_DIR");
    if (!fromEnv.isEmpty())
        return fromEnv;
    return QStringLiteral(VENDRIX_BUILD_PROGRAM_DIR);
}

quint16 ClosedLocalPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

qint64 ProcStatusKb(qint64 pid, const QByteArray &key)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

QByteArray LogMessages(const QByteArray &log)
{
    QByteArray out;
    for (const QByteArray &line : log.split('\n')) {
        if (line.isEmpty())
            continue;
        const qsizetype tag = line.indexOf("] ");
        out += (tag >= 0 ? line.mid(tag + 2) : line) + '\n';
    }
    return out;
}

} // namespace vx::test

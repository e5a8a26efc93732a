#include "TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
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

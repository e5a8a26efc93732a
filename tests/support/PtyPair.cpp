#include "PtyPair.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTimer>

namespace vx::test {

namespace {

bool linkReady(const QString &path)
{
    // socat creates the link once the pty exists; the link's target must
    // exist too (a stale link from an earlier run would not count).
    const QFileInfo info(path);
    return info.isSymLink() && info.exists();
}

} // namespace

PtyPair::PtyPair(int timeoutMs)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot create a temporary folder");
        return;
    }
    m_a = m_dir.filePath(QStringLiteral("A"));
    m_b = m_dir.filePath(QStringLiteral("B"));

    const QString socat = QStandardPaths::findExecutable(QStringLiteral("socat"));
    if (socat.isEmpty()) {
        m_error = QStringLiteral("socat not found on PATH");
        return;
    }
    m_socat.setProgram(socat);
    m_socat.setArguments({QStringLiteral("pty,raw,echo=0,link=") + m_a, QStringLiteral("pty,raw,echo=0,link=") + m_b});
    m_socat.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_socat.setStandardOutputFile(QProcess::nullDevice());
    m_socat.start();
    if (!m_socat.waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("socat did not start: ") + m_socat.errorString();
        return;
    }

    // Poll the file system on the event loop until both links exist: socat
    // gives no other sign that it is ready. A 5 ms timer keeps the wait short
    // without spinning.
    QDeadlineTimer deadline(timeoutMs);
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if ((linkReady(m_a) && linkReady(m_b)) || deadline.hasExpired() || m_socat.state() != QProcess::Running)
            loop.quit();
    });
    if (!(linkReady(m_a) && linkReady(m_b))) {
        poll.start();
        loop.exec();
    }
    if (m_socat.state() != QProcess::Running)
        m_error = QStringLiteral("socat ended before the pseudo-terminals were ready");
    else if (!(linkReady(m_a) && linkReady(m_b)))
        m_error = QStringLiteral("the pseudo-terminal links did not appear in time");
}

PtyPair::~PtyPair()
{
    stop();
}

bool PtyPair::isReady() const
{
    return m_error.isEmpty() && m_socat.state() == QProcess::Running && linkReady(m_a) && linkReady(m_b);
}

void PtyPair::stop()
{
    if (m_socat.state() == QProcess::NotRunning)
        return;
    m_socat.terminate();
    if (!m_socat.waitForFinished(2000)) {
        m_socat.kill();
        m_socat.waitForFinished(2000);
    }
}

} // namespace vx::test

#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <functional>

namespace vx::test {

// A fresh VENDRIX_HOME for one test, restored when it goes out of scope.
class TempHome {
public:
    TempHome();
    ~TempHome();
    QString path() const { return m_dir.path(); }
    QString file(const QString &name) const { return m_dir.path() + QLatin1Char('/') + name; }

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious;
};

QByteArray readFile(const QString &path);
// The messages of a channel log as LOG.txt has them, each followed by LF,
// without the time stamp and channel in front of each.
QByteArray LogMessages(const QByteArray &log);
void writeFile(const QString &path, const QByteArray &content);

// Runs the event loop until pred() holds or timeoutMs passes; returns pred().
bool waitUntil(const std::function<bool()> &pred, int timeoutMs = 5000);

// The program folder (where Vendrix, the libraries and the templates are):
// $VENDRIX_TEST_PROGRAM_DIR when set, else the one of this build. The test
// programs themselves live elsewhere; their main() makes the program's own
// folder look-ups answer this folder too.
QString programDir();

// A port on 127.0.0.1 where nothing listens (one just given up).
quint16 ClosedLocalPort();

// A value in kB from /proc/<pid>/status ("VmRSS", "VmHWM"); -1 when missing.
qint64 ProcStatusKb(qint64 pid, const QByteArray &key);

// Whether this build has the address sanitizer. Under it most of a
// process's resident memory is the sanitizer's own (shadow memory, the
// quarantine of freed blocks), so memory ceilings are checked in the
// ordinary build only.
#ifdef __SANITIZE_ADDRESS__
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif

} // namespace vx::test

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
void writeFile(const QString &path, const QByteArray &content);

// Runs the event loop until pred() holds or timeoutMs passes; returns pred().
bool waitUntil(const std::function<bool()> &pred, int timeoutMs = 5000);

// The program folder of the build (where Vendrix and the libraries are).
QString programDir();

} // namespace vx::test

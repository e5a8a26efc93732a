#include "VendrixProcess.h"

#include "TestSupport.h"
#include "settings/IniStore.h"

#include <QDir>
#include <QEventLoop>
#include <QTimer>

namespace vx::test {

VendrixProcess::VendrixProcess(const QString &home, QObject *parent)
    : QObject(parent), m_home(home), m_program(programDir() + QStringLiteral("/Vendrix")),
      m_arguments({QStringLiteral("--headless")})
{
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    connect(&m_process, &QProcess::readyReadStandardOutput, this, [this] { onOutput(QProcess::StandardOutput); });
    connect(&m_process, &QProcess::readyReadStandardError, this, [this] { onOutput(QProcess::StandardError); });
    connect(&m_process, &QProcess::finished, this, &VendrixProcess::onFinished);
}

VendrixProcess::~VendrixProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void VendrixProcess::setEnv(const QString &name, const QString &value)
{
    m_env.insert(name, value);
}

void VendrixProcess::setComDevice(int n, const QString &device)
{
    setEnv(QStringLiteral("VENDRIX_COM%1").arg(n), device);
}

QString VendrixProcess::iniPath() const
{
    return m_home + QStringLiteral("/Vendrix.ini");
}

QString VendrixProcess::logPath() const
{
    return m_home + QStringLiteral("/LOG.txt");
}

bool VendrixProcess::WriteIni(const QString &path, const Ini &values, QString *error)
{
    IniStore store(path);
    store.beginBatch();
    for (auto s = values.cbegin(); s != values.cend(); ++s)
        for (auto k = s.value().cbegin(); k != s.value().cend(); ++k)
            store.write(s.key(), k.key(), k.value());
    const bool ok = store.endBatch();
    if (!ok && error)
        *error = store.errorText();
    return ok;
}

VendrixProcess::Ini VendrixProcess::TcpChannel(int n, quint16 port, const QString &target)
{
    Ini ini{{QStringLiteral("Com(%1)").arg(n),
             {{"ConnType", "TCP"},
              {"IP1", "127"},
              {"IP2", "0"},
              {"IP3", "0"},
              {"IP4", "1"},
              {"IP5", QString::number(port)}}}};
    if (!target.isEmpty())
        ini[QStringLiteral("DBMS(%1)").arg(n)] = {{"Name", target}};
    return ini;
}

VendrixProcess::Ini VendrixProcess::Merged(Ini into, const Ini &more)
{
    for (auto s = more.cbegin(); s != more.cend(); ++s)
        for (auto k = s.value().cbegin(); k != s.value().cend(); ++k)
            into[s.key()][k.key()] = k.value();
    return into;
}

bool VendrixProcess::writeIni(const Ini &values)
{
    QDir().mkpath(m_home);
    return WriteIni(iniPath(), values, &m_error);
}

bool VendrixProcess::start(int timeoutMs)
{
    if (m_process.state() != QProcess::NotRunning) {
        m_error = QStringLiteral("already running");
        return false;
    }
    m_stdout.clear();
    m_stderr.clear();
    m_outPartial.clear();
    m_errPartial.clear();
    m_lines.clear();
    m_exit = Exit();
    m_error.clear();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (int n = 1; n <= 9; ++n)
        env.remove(QStringLiteral("VENDRIX_COM%1").arg(n));
    env.remove(QStringLiteral("VENDRIX_EXCHANGE"));
    env.remove(QStringLiteral("NOTIFY_SOCKET"));
    env.insert(QStringLiteral("VENDRIX_HOME"), m_home);
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (auto it = m_env.cbegin(); it != m_env.cend(); ++it)
        env.insert(it.key(), it.value());
    m_process.setProcessEnvironment(env);
    m_process.setWorkingDirectory(m_home);
    m_process.start(m_program, m_arguments);
    if (!m_process.waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(m_program, m_process.errorString());
        return false;
    }
    return true;
}

bool VendrixProcess::isRunning() const
{
    return m_process.state() != QProcess::NotRunning;
}

qint64 VendrixProcess::pid() const
{
    return m_process.processId();
}

QString VendrixProcess::outputText() const
{
    return QStringLiteral("--- stdout ---\n") + QString::fromLocal8Bit(m_stdout) + QStringLiteral("\n--- stderr ---\n")
           + QString::fromLocal8Bit(m_stderr);
}

void VendrixProcess::onOutput(QProcess::ProcessChannel channel)
{
    m_process.setReadChannel(channel);
    const QByteArray data = m_process.readAll();
    if (channel == QProcess::StandardOutput) {
        m_stdout += data;
        m_outPartial += data;
        takeLines(m_outPartial, false);
    } else {
        m_stderr += data;
        m_errPartial += data;
        takeLines(m_errPartial, false);
    }
}

void VendrixProcess::takeLines(QByteArray &partial, bool all)
{
    qsizetype start = 0;
    for (;;) {
        const qsizetype nl = partial.indexOf('\n', start);
        if (nl < 0)
            break;
        QByteArray line = partial.mid(start, nl - start);
        if (line.endsWith('\r'))
            line.chop(1);
        const QString text = QString::fromLocal8Bit(line);
        m_lines.append(text);
        emit lineRead(text);
        start = nl + 1;
    }
    partial.remove(0, start);
    if (all && !partial.isEmpty()) {
        const QString text = QString::fromLocal8Bit(partial);
        partial.clear();
        m_lines.append(text);
        emit lineRead(text);
    }
}

void VendrixProcess::onFinished(int code, QProcess::ExitStatus status)
{
    // What is still in the pipes belongs to the output too.
    onOutput(QProcess::StandardOutput);
    onOutput(QProcess::StandardError);
    takeLines(m_outPartial, true);
    takeLines(m_errPartial, true);
    m_exit.ended = true;
    m_exit.crashed = status == QProcess::CrashExit;
    m_exit.code = m_exit.crashed ? -1 : code;
    emit ended();
}

bool VendrixProcess::waitFor(const std::function<bool()> &pred, int timeoutMs)
{
    if (pred())
        return true;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto check = [&] {
        if (pred())
            loop.quit();
    };
    const auto c1 = connect(this, &VendrixProcess::lineRead, &loop, check);
    const auto c2 = connect(this, &VendrixProcess::ended, &loop, &QEventLoop::quit);
    timer.start(timeoutMs);
    loop.exec();
    disconnect(c1);
    disconnect(c2);
    return pred();
}

int VendrixProcess::waitForLine(const QRegularExpression &pattern, int timeoutMs, int from)
{
    int found = -1;
    int scanned = std::max(from, 0);
    const auto scan = [&] {
        for (; scanned < m_lines.size(); ++scanned) {
            if (pattern.match(m_lines[scanned]).hasMatch()) {
                found = scanned;
                return true;
            }
        }
        return false;
    };
    if (scan() || m_process.state() == QProcess::NotRunning)
        return found; // an ended program writes no more lines
    waitFor(scan, timeoutMs);
    return found;
}

VendrixProcess::Exit VendrixProcess::waitForExit(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return m_exit;
    waitFor([this] { return m_exit.ended; }, timeoutMs);
    return m_exit;
}

VendrixProcess::Ran VendrixProcess::Run(const QString &home, const QStringList &arguments, const QStringList &env,
                                        int timeoutMs)
{
    VendrixProcess p(home);
    p.setArguments(arguments);
    for (const QString &kv : env)
        p.setEnv(kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1));
    return p.runToEnd(timeoutMs);
}

VendrixProcess::Ran VendrixProcess::runToEnd(int timeoutMs)
{
    Ran r;
    if (!start()) {
        r.output = m_error;
        return r;
    }
    const Exit exit = waitForExit(timeoutMs);
    if (exit.ended && !exit.crashed)
        r.code = exit.code;
    kill();
    r.out = QString::fromLocal8Bit(m_stdout);
    r.err = QString::fromLocal8Bit(m_stderr);
    r.output = outputText();
    return r;
}

VendrixProcess::Exit VendrixProcess::terminate(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return m_exit;
    m_process.terminate();
    const Exit e = waitForExit(timeoutMs);
    if (e.ended)
        return e;
    // It did not end on SIGTERM: that is a fault the caller sees in the
    // result (ended by a signal), but the program must not outlive the test.
    return kill(timeoutMs);
}

VendrixProcess::Exit VendrixProcess::kill(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return m_exit;
    m_process.kill();
    return waitForExit(timeoutMs);
}

} // namespace vx::test

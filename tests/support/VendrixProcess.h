#pragma once

#include <QMap>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <functional>

namespace vx::test {

// Runs the built program, headless, as the end-to-end tests and benchmarks
// need it: with its own VENDRIX_HOME, the ComN devices and other variables
// given, and a Vendrix.ini holding the keys the test sets (the program
// fills in every other key with its default). Captures standard output and
// standard error line by line, waits for a line matching a pattern, and
// stops the program with SIGTERM (reporting its exit code) or SIGKILL.
//
// The environment is the test's own, minus VENDRIX_COM1..9,
// VENDRIX_EXCHANGE and NOTIFY_SOCKET (so nothing leaks in from outside and
// nothing reaches the service manager), plus VENDRIX_HOME and the variables
// set here.
class VendrixProcess : public QObject {
    Q_OBJECT
public:
    // section -> key -> value, e.g. {"Com(1)", {{"ConnType", "TCP"}}}.
    using Ini = QMap<QString, QMap<QString, QString>>;

    struct Exit {
        bool ended = false;   // the process has ended
        bool crashed = false; // ended by a signal (SIGKILL, a crash)
        int code = -1;        // exit code of a normal end
    };

    explicit VendrixProcess(const QString &home, QObject *parent = nullptr);
    // A program still running is killed.
    ~VendrixProcess() override;

    QString home() const { return m_home; }
    // Default: <program folder>/Vendrix with the single argument --headless.
    void setProgram(const QString &path) { m_program = path; }
    QString program() const { return m_program; }
    void setArguments(const QStringList &arguments) { m_arguments = arguments; }
    void setEnv(const QString &name, const QString &value);
    // VENDRIX_COM<n> = device.
    void setComDevice(int n, const QString &device);

    // Writes the given keys into <home>/Vendrix.ini, keeping whatever the
    // file already holds. False (and errorText()) on failure.
    bool writeIni(const Ini &values);
    static bool WriteIni(const QString &path, const Ini &values, QString *error = nullptr);
    // Channel n on the terminal listening on 127.0.0.1:port, storing into
    // target when one is given.
    static Ini TcpChannel(int n, quint16 port, const QString &target = QString());
    // into with every key of more written over it.
    static Ini Merged(Ini into, const Ini &more);
    QString iniPath() const;
    QString logPath() const; // the channel log, <home>/LOG.txt

    // Starts the program; false when it could not be started.
    bool start(int timeoutMs = 5000);
    bool isRunning() const;
    qint64 pid() const;
    QString errorText() const { return m_error; }

    // Complete lines of standard output and standard error, in the order
    // they were read (each stream's lines keep their order).
    const QStringList &lines() const { return m_lines; }
    const QByteArray &stdoutBytes() const { return m_stdout; }
    const QByteArray &stderrBytes() const { return m_stderr; }
    // Everything read so far, for a failure message.
    QString outputText() const;

    // Waits until a line at index from or later matches pattern; returns its
    // index, or -1 after timeoutMs (or when the program ended without one).
    int waitForLine(const QRegularExpression &pattern, int timeoutMs, int from = 0);
    bool waitForOutput(const QString &pattern, int timeoutMs)
    {
        return waitForLine(QRegularExpression(pattern), timeoutMs) >= 0;
    }

    // SIGTERM, then waits; SIGKILL when it has not ended after timeoutMs.
    Exit terminate(int timeoutMs = 5000);
    // SIGKILL, then waits.
    Exit kill(int timeoutMs = 5000);
    Exit waitForExit(int timeoutMs);
    Exit lastExit() const { return m_exit; }

    // A command of the program run to its end.
    struct Ran {
        int code = -1;  // its exit code; -1 when it did not end in time or ended by a signal
        QString out;    // standard output
        QString err;    // standard error
        QString output; // both, as outputText() gives them
    };
    // Starts the program and lets it run to its end, at most timeoutMs
    // (then it is killed), the event loop running meanwhile (so a simulated
    // terminal of the test answers).
    Ran runToEnd(int timeoutMs = 30000);
    // The same for the program with these arguments (not --headless unless
    // given) in home; env holds "NAME=value" words.
    static Ran Run(const QString &home, const QStringList &arguments, const QStringList &env = {},
                   int timeoutMs = 30000);

signals:
    void lineRead(const QString &line);
    void ended();

private:
    void onOutput(QProcess::ProcessChannel channel);
    void onFinished(int code, QProcess::ExitStatus status);
    void takeLines(QByteArray &partial, bool all);
    bool waitFor(const std::function<bool()> &pred, int timeoutMs);

    QString m_home;
    QString m_program;
    QStringList m_arguments;
    QMap<QString, QString> m_env;
    QProcess m_process;
    QString m_error;
    QByteArray m_stdout;
    QByteArray m_stderr;
    QByteArray m_outPartial;
    QByteArray m_errPartial;
    QStringList m_lines;
    Exit m_exit;
};

} // namespace vx::test

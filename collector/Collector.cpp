#include "collector/Collector.h"

#include "collector/ConfigCheck.h"
#include "collector/LookupFile.h"
#include "collector/RegistryExchange.h"
#include "platform/Clock.h"
#include "platform/FileChecks.h"
#include "platform/Messenger.h"
#include "platform/OwnFiles.h"
#include "platform/Paths.h"
#include "settings/IniStore.h"
#include "settings/SettingsCheck.h"
#include "store/ErpArticleExport.h"
#include "store/ErpWriter.h"
#include "store/RecordText.h"
#include "transport/IrLib.h"
#include "transport/SerialPort.h"
#include "transport/Socket.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMetaMethod>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace vx {

namespace {
// The longest the log entries of acknowledged records wait, when no other
// write of LOG.txt takes them along first.
constexpr int kLogWaitMs = 1000;

// Appends a and b to to in one step (two appends would each take Qt's
// general insertion path).
void AppendTwo(QByteArray &to, QByteArrayView a, QByteArrayView b)
{
    const qsizetype at = to.size();
    to.resize(at + a.size() + b.size());
    char *p = to.data() + at;
    std::memcpy(p, a.data(), size_t(a.size()));
    std::memcpy(p + a.size(), b.data(), size_t(b.size()));
}
// An entry's text on one line: each run of CR and LF inside it becomes one
// blank (a message box's text spans lines).
QByteArray OneLine(QByteArrayView bytes)
{
    QByteArray line;
    line.reserve(bytes.size());
    bool inBreak = false;
    for (const char c : bytes) {
        const bool lineEnd = c == '\r' || c == '\n';
        if (lineEnd && !inBreak)
            line.append(' ');
        else if (!lineEnd)
            line.append(c);
        inBreak = lineEnd;
    }
    return line;
}

} // namespace

const QByteArray Collector::ACK(1, '\x06');
const QByteArray Collector::NAK(1, '\x15');


// The local time with milliseconds and the UTC offset in force at that
// moment: "2026-12-07T14:03:21.517+01:00". The date, time and offset are
// worked out once a second; each entry only adds its milliseconds.
class Collector::LogStamp {
public:
    static constexpr int kLength = 29;

    void write(char *out)
    {
        timespec ts{};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        if (ts.tv_sec != m_second) {
            m_second = ts.tv_sec;
            ::tzset(); // a change of TZ or of the zone files is seen within a second
            tm local{};
            ::localtime_r(&ts.tv_sec, &local);
            std::strftime(m_head, sizeof m_head, "%Y-%m-%dT%H:%M:%S", &local);
            const long offset = local.tm_gmtoff;
            const int minutes = int((offset < 0 ? -offset : offset) / 60 % (100 * 60));
            m_zone[0] = offset < 0 ? '-' : '+';
            m_zone[1] = char('0' + minutes / 600);
            m_zone[2] = char('0' + minutes / 60 % 10);
            m_zone[3] = ':';
            m_zone[4] = char('0' + minutes % 60 / 10);
            m_zone[5] = char('0' + minutes % 10);
        }
        const int ms = int(ts.tv_nsec / 1000000);
        std::memcpy(out, m_head, 19);
        out[19] = '.';
        out[20] = char('0' + ms / 100);
        out[21] = char('0' + ms / 10 % 10);
        out[22] = char('0' + ms % 10);
        std::memcpy(out + 23, m_zone, 6);
    }

private:
    time_t m_second = -1;
    char m_head[32] = {};
    char m_zone[8] = {};
};

// LOG.txt in the data folder. It stays open in append mode between entries
// (every entry is written through at once), and is opened again when the
// file was moved or deleted meanwhile; that is looked at once a second, not
// for every entry.
//
// The log is kept to a bounded size: before an entry would take LOG.txt past
// the limit (10 MiB, or VENDRIX_LOG_MAX_BYTES bytes), LOG.txt becomes
// LOG.txt.1, LOG.txt.1 becomes LOG.txt.2 and so on; LOG.txt.4 is the oldest
// kept, so at most five files, LOG.txt included.
struct Collector::LogFile {
    static constexpr int kKept = 5;

    QString path;
    FILE *file = nullptr;
    dev_t device = 0;
    ino_t inode = 0;
    qint64 size = 0;
    qint64 limit = Limit();
    QElapsedTimer sinceCheck;
    QString failure;               // the failure reported last; reported again only when it changes
    QElapsedTimer retryAfter;      // running while LOG.txt cannot be opened
    bool toStandardOutput = false; // the entries are printed anyway (headless)
    // What ends an entry: LF, or CR LF and an empty line in the original form.
    QByteArray terminator = QByteArrayLiteral("\n");

    static qint64 Limit()
    {
        bool ok = false;
        const qint64 bytes = qEnvironmentVariable("VENDRIX_LOG_MAX_BYTES").toLongLong(&ok);
        return ok && bytes > 0 ? bytes : qint64(10) * 1024 * 1024;
    }

    ~LogFile() { close(); }
    void close()
    {
        if (file)
            std::fclose(file);
        file = nullptr;
    }
    bool stillSame() const
    {
        struct stat st {};
        return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && st.st_dev == device && st.st_ino == inode;
    }
    // The log cannot be written: said on standard error (the log itself
    // being what fails), with the file and the reason, once per cause.
    void report(const QString &what, int error) { report(what, QString::fromLocal8Bit(std::strerror(error))); }
    void report(const QString &what, const QString &why)
    {
        const QString text = QStringLiteral("Cannot %1 the log %2: %3").arg(what, path, why);
        if (text != failure)
            qWarning().noquote() << text;
        failure = text;
    }
    QString numbered(int i) const { return path + QLatin1Char('.') + QString::number(i); }
    // Closes LOG.txt and moves it (and the older ones) one number up. The
    // renames move names, never what a link points to; LOG.txt itself is
    // moved only while it is still the file that was written.
    void rotate()
    {
        close();
        for (int i = kKept - 2; i >= 1; --i)
            std::rename(QFile::encodeName(numbered(i)).constData(), QFile::encodeName(numbered(i + 1)).constData());
        struct stat st {};
        const QByteArray native = QFile::encodeName(path);
        if (::lstat(native.constData(), &st) != 0 || st.st_dev != device || st.st_ino != inode)
            return;
        if (std::rename(native.constData(), QFile::encodeName(numbered(1)).constData()) != 0)
            report(QStringLiteral("rotate"), errno);
    }
    // Opened only as a regular file, never through a link, never blocking
    // on a FIFO, created readable by its owner and group only. When that
    // fails the entries go to standard error (said once, with the path and
    // the reason), and the file is tried again a second later.
    bool open()
    {
        if (retryAfter.isValid() && !retryAfter.hasExpired(1000))
            return false;
        QString why;
        const int fd = OpenOwnFileForAppend(path, 0640, &why);
        file = fd >= 0 ? ::fdopen(fd, "ab") : nullptr;
        // The entries come in batches that are written at once: each batch
        // is one write, however long.
        if (file)
            std::setvbuf(file, nullptr, _IONBF, 0);
        if (!file) {
            if (fd >= 0) {
                why = QString::fromLocal8Bit(std::strerror(errno));
                ::close(fd);
            }
            report(QStringLiteral("open"), why + QStringLiteral("; the log goes to standard error"));
            retryAfter.start();
            return false;
        }
        retryAfter.invalidate();
        sinceCheck.start();
        struct stat st {};
        if (::fstat(fileno(file), &st) == 0) {
            device = st.st_dev;
            inode = st.st_ino;
            size = st.st_size;
        }
        return true;
    }
    // Entries that LOG.txt cannot take (headless mode prints them anyway).
    void fallback(QByteArrayView bytes) const
    {
        if (!toStandardOutput)
            std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    }
    // Appends whole entries (each ends with the terminator); what does not
    // fit under the limit goes to a fresh LOG.txt, entry by entry.
    void append(QByteArrayView bytes)
    {
        if (file && sinceCheck.hasExpired(1000)) {
            sinceCheck.restart();
            if (!stillSame())
                close();
        }
        if (!file && !open()) {
            fallback(bytes);
            return;
        }
        while (size + bytes.size() > limit) {
            // The entries that still fit, then the rest after the rotation.
            const qint64 room = std::max<qint64>(0, limit - size);
            const qsizetype endLength = terminator.size();
            qsizetype take = bytes.first(std::min(bytes.size(), qsizetype(room))).lastIndexOf(terminator);
            take = take < 0 ? 0 : take + endLength;
            if (take == 0 && size == 0) {
                // An entry longer than the limit: a file of its own.
                const qsizetype end = bytes.indexOf(terminator);
                take = end < 0 ? bytes.size() : end + endLength;
            }
            if (take > 0) {
                write(bytes.first(take));
                bytes = bytes.sliced(take);
                if (bytes.isEmpty())
                    return;
            }
            rotate();
            if (!open()) {
                fallback(bytes);
                return;
            }
        }
        write(bytes);
    }
    void write(QByteArrayView bytes)
    {
        errno = 0;
        const size_t written = std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), file);
        if (std::fflush(file) != 0 || written != static_cast<size_t>(bytes.size())) {
            report(QStringLiteral("write"), errno ? errno : EIO);
            std::clearerr(file);
        } else {
            failure.clear();
        }
        size += qint64(written);
    }
};

Collector::Collector(Settings &settings, IniStore &store, Messenger &messenger, Clock &clock,
                     TransportFactory &transports, QObject *parent)
    : QObject(parent), m_settings(settings), m_store(store), m_messenger(messenger), m_clock(clock),
      m_transports(transports), m_programDir(Paths::programDir()), m_log(std::make_unique<LogFile>()),
      m_logStamp(std::make_unique<LogStamp>())
{
    ErpContext erp{m_messenger, [this](int code) { terminateProgram(code); },
                   [this](const QString &line, int n) { PLog(line, n); }};
    m_erpWriter = std::make_unique<ErpWriter>(erp);
    m_articles = std::make_unique<ErpArticleExport>(erp);
    m_log->path = Paths::dataFile(QStringLiteral("LOG.txt"));
    readLogForm();
    for (int n = 1; n <= kChannels; ++n) {
        m_status[n] = QStringLiteral("Paused");
        m_lookup[n] = std::make_unique<LookupFile>();
        m_serial[n] = m_transports.createSerialPort(this);
        m_socket[n] = m_transports.createSocket(this);
        ChannelProtocol::Config &config = m_protocol[n].config();
        config.channel = n;
        // The data file an outside request names, read when its command goes out.
        config.requestedFile = [this, n] {
            return RegistryExchange::ReadRegistryValue(exchangeRoot(), exchangePath(),
                                                       QStringLiteral("Profilo(%1)").arg(n), QStringLiteral("0"));
        };
        connect(m_serial[n], &SerialPort::OnComm, this, [this, n] { SerialOnComm(n); });
        m_socket[n]->setArrivalHandler([this, n](int) { SocketDataArrival(n); });
        makeTcpRetryTimer(n);
        connect(m_serial[n], &SerialPort::Failed, this, [this, n](const QString &why) { serialFailed(n, why); });
        // An answer still owed to a connection that is gone never goes to
        // the next one.
        connect(m_socket[n], &Socket::StateChanged, this, [this, n](int state) {
            if (state != Socket::sckConnected)
                dropLaterAnswer(n);
        });
    }
    setProgramDir(m_programDir);
    m_logTimer.setSingleShot(true);
    m_logTimer.setInterval(kLogWaitMs);
    connect(&m_logTimer, &QTimer::timeout, this, &Collector::flushLog);
    m_timer.setInterval(100);
    m_timer.setTimerType(Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, &Collector::TimerStep_Timer);
}

Collector::~Collector()
{
    flushLog();
}

void Collector::setProgramDir(const QString &dir)
{
    m_programDir = dir;
    RecordStore::Context context{m_settings, m_store, m_messenger, m_clock, m_programDir};
    context.exchange = this;
    context.zucchetti = m_erpWriter.get();
    context.terminate = [this](int code) { terminateProgram(code); };
    context.log = [this](const QString &line, int n) { PLog(line, n); };
    m_recordStore = std::make_unique<RecordStore>(std::move(context));
}

void Collector::terminateProgram(int code)
{
    // What the log holds back leaves before the program ends.
    flushLog();
    if (m_hooks.terminate)
        m_hooks.terminate(code);
    else
        std::exit(code);
}

qint64 Collector::now() const
{
    return m_clock.nowMs();
}

void Collector::setStatus(int n, ChannelStatus status)
{
    m_channelStatus[n] = status;
    m_status[n] = statusText(n, status);
    emit statusChanged(n, m_status[n]);
}

QString Collector::statusText(int n, ChannelStatus status) const
{
    const QString &port = m_settings.Com[n].Port;
    switch (status) {
    case ChannelStatus::Paused:
        break;
    case ChannelStatus::NoPort:
        return port;
    case ChannelStatus::RunWait:
        return port + QStringLiteral(" Run/Wait");
    case ChannelStatus::Modem:
        return port + QStringLiteral(" Modem ");
    case ChannelStatus::TcpConnecting:
        return QStringLiteral("TCP Connecting");
    case ChannelStatus::TcpReady:
        return QStringLiteral("TCP Ready");
    case ChannelStatus::Error:
        return QStringLiteral(" Error/n.d.");
    }
    return QStringLiteral("Paused");
}

void Collector::recordWasStored(int n)
{
    ++m_protocol.at(n).state().RecordsStored;
    if (heard(m_storedHeard, &Collector::recordStored))
        emit recordStored(n);
}

void Collector::Startup(const StartupView &view)
{
    IrLib::CloseIrCom();
    for (int n = 1; n <= kChannels; ++n) {
        m_protocol[n].reset();
        m_replyTimer[n] = ReplyTimer();
        setStatus(n, ChannelStatus::Paused);
    }
    if (view.beforeSettings)
        view.beforeSettings();
    readSettings();
    if (view.afterSettings)
        view.afterSettings();
    OpenChannels();
    createMissingTargets();
    m_recordStore->OverwriteAllowed = true;
    m_exchangeActive = false;
}

// The settings read afresh, the channels opened with them, and every named
// target that is not there yet made (at a reload).
void Collector::LoadSettingsAndOpen()
{
    readSettings();
    OpenChannels();
    createMissingTargets();
}

// The settings read, a value out of range said in the log, then what
// follows from them (the log's form, unknown values).
void Collector::readSettings()
{
    LoadSettings(m_store, m_settings);
    for (const QString &problem : SettingsRangeProblems(m_settings))
        PLog(problem, 0);
    SettingsLoaded();
}

void Collector::createMissingTargets()
{
    for (int n = 1; n <= kChannels; ++n) {
        const QString name = m_settings.DBMS[n].Name.trimmed();
        if (!name.isEmpty() && !FileExists(m_settings.DBMS[n].Name))
            m_recordStore->CreaDB(n);
    }
}

void Collector::OpenChannels()
{
    OpeningCancelled = false;
    for (int n = 1; n <= kChannels; ++n) {
        if (m_hooks.openChannelWait) {
            m_hooks.openChannelWait(n);
        } else if (!OpeningCancelled) {
            SetComm(n);
        }
    }
}

void Collector::startTimer()
{
    m_timer.start();
}

void Collector::stopTimer()
{
    m_timer.stop();
}

void Collector::PLog(const QString &message, int index)
{
    // The local encoding, which Qt takes to be UTF-8 on this system; a
    // control character (a record's NUL) as \xNN, so the log stays text.
    const QString text = EscapeControls(message, true);
    logEntry(index, text.toUtf8(), text.size(), &text);
}

void Collector::PLog(const QString &message, int index, LogLevel level)
{
    m_entryLevel = level;
    if (level != LogLevel::Info)
        m_lastReported = message;
    PLog(message, index);
    m_entryLevel = LogLevel::Info;
}

void Collector::readLogForm()
{
    const bool original = m_store.read(MiscSection(), QStringLiteral("LogFormat"), QString())
                              .trimmed()
                              .compare(QLatin1String("Original"), Qt::CaseInsensitive)
                          == 0;
    if (original == m_logOriginal)
        return;
    flushLog(); // what waits keeps the form it was made in
    m_logOriginal = original;
    m_log->terminator = original ? QByteArrayLiteral("\r\n\r\n") : QByteArrayLiteral("\n");
}

void Collector::SettingsLoaded()
{
    readLogForm();
    for (const SettingFinding &f : UnknownSettingValues(m_settings))
        PLog(QStringLiteral("[warning] ") + f.text(), 0, LogLevel::Warning);
    for (const QString &line : m_store.linesWithoutKey())
        PLog(QStringLiteral("[warning] %1: \"%2\" is not a Key=Value line and sets nothing.")
                 .arg(m_store.path(), EscapeControls(line)),
             0, LogLevel::Warning);
}

QString Collector::ReadyText() const
{
    QStringList channels;
    for (int n = 1; n <= kChannels; ++n) {
        if (ChannelInUse(m_settings.Com[n]))
            channels << QStringLiteral("%1 (%2)").arg(ChannelSummary(n, m_settings), m_status[n].trimmed());
    }
    if (channels.isEmpty())
        return QStringLiteral(
                   "[warning] Collector ready, but no channel is in use: every channel's Port is None and none is a "
                   "TCP "
                   "channel, so no record can arrive. Choose a port in the options, or set Port or ConnType=TCP in "
                   "[Com(n)] "
                   "of %1.")
            .arg(m_store.path());
    return QStringLiteral("Collector ready; ") + channels.join(QStringLiteral("; "));
}

void Collector::logEntry(int index, QByteArrayView bytes, qsizetype chars, const QString *message)
{
    if (index < 0 || index > kChannels)
        index = 0;
    const bool cleared = m_paneChars[index] > 1024;
    if (cleared) {
        m_pane[index].resize(0); // keeps its room
        m_paneChars[index] = 0;
    }
    if (m_keepPanes) {
        AppendTwo(m_pane[index], bytes, "\r\n");
        m_paneChars[index] += chars + 2;
    }
    // A message of several lines made one; bytes looks at it until the end,
    // for standard output and the window too.
    QByteArray joined;
    if (m_logOriginal) {
        // The entry with CR LF, and the line end of its own line: an empty
        // line after each entry.
        AppendTwo(m_logPending, bytes, "\r\n\r\n");
    } else {
        // "<time stamp> [n] message" and LF, on one line.
        const auto has = [bytes](char c) { return std::memchr(bytes.data(), c, size_t(bytes.size())) != nullptr; };
        if (!bytes.isEmpty() && (has('\n') || has('\r'))) {
            joined = OneLine(bytes);
            bytes = joined;
        }
        const qsizetype at = m_logPending.size();
        m_logPending.resize(at + LogStamp::kLength + 5 + bytes.size() + 1);
        char *p = m_logPending.data() + at;
        m_logStamp->write(p);
        p += LogStamp::kLength;
        const char tag[5] = {' ', '[', char('0' + index), ']', ' '};
        std::memcpy(p, tag, sizeof tag);
        std::memcpy(p + sizeof tag, bytes.data(), size_t(bytes.size()));
        p[sizeof tag + size_t(bytes.size())] = '\n';
        // Standard output's line: the same without the time stamp.
        if (m_hooks.logEntries) {
            const qsizetype length = qsizetype(sizeof tag) - 1 + bytes.size() + 1;
            const qsizetype end = m_linesPending.size();
            m_linesPending.resize(end + length);
            std::memcpy(m_linesPending.data() + end, p + 1, size_t(length));
        }
    }
    // Standard output takes the entry before the log is written, so that
    // both leave together (or takes all of them with the log, see flushLog).
    if (m_hooks.logLine && (m_logOriginal || !m_hooks.logEntries))
        m_hooks.logLine(index, bytes);
    if (m_logBatch == 0)
        flushLog();
    // The text of the entry is made only for a window that shows it.
    if (heard(m_logShown, &Collector::logAppended))
        emit logAppended(index, message ? *message : QString::fromUtf8(bytes), cleared);
}

void Collector::connectNotify(const QMetaMethod &signal)
{
    if (signal == QMetaMethod::fromSignal(&Collector::logAppended))
        m_logShown.any = true;
    if (signal == QMetaMethod::fromSignal(&Collector::recordStored))
        m_storedHeard.any = true;
    QObject::connectNotify(signal);
}

void Collector::disconnectNotify(const QMetaMethod &signal)
{
    // Qt may call this with a lock of its connections held (a receiver being
    // destroyed), so asking it anything here could wait for that lock for
    // ever. The next emission asks instead. An invalid method: several
    // connections went at once.
    if (!signal.isValid() || signal == QMetaMethod::fromSignal(&Collector::logAppended))
        m_logShown.unsure = true;
    if (!signal.isValid() || signal == QMetaMethod::fromSignal(&Collector::recordStored))
        m_storedHeard.unsure = true;
    QObject::disconnectNotify(signal);
}

void Collector::flushLog()
{
    if (m_logPending.isEmpty())
        return;
    m_log->toStandardOutput = bool(m_hooks.logLine) || bool(m_hooks.logEntries);
    m_log->append(m_logPending);
    if (m_hooks.logEntries && !m_linesPending.isEmpty()) {
        m_hooks.logEntries(m_linesPending);
        m_linesPending.resize(0); // keeps its room
    }
    m_logPending.resize(0); // keeps its room for the next entries
    if (m_hooks.logWritten)
        m_hooks.logWritten();
}

void Collector::CloseComm(int index)
{
    m_protocol[index].closed();
    SerialPort *port = m_serial[index];
    if (port->PortOpen()) {
        port->setPortOpen(false);
        port->setInputLen(0);
    }
    setStatus(index, ChannelStatus::Paused);
}

// A serial port that stopped working (its device went away) was closed: the
// channel shows it and ends a request it was serving.
void Collector::serialFailed(int n, const QString &why)
{
    PLog(why, n, LogLevel::Error);
    setStatus(n, ChannelStatus::Error);
    endRequest(n, QStringLiteral("6"),
               QStringLiteral("Channel %1: the requested collection ends: the port stopped working.").arg(n));
    m_protocol[n].closed();
}

bool Collector::channelOpen(int n) const
{
    return m_serial[n]->PortOpen() || m_socket[n]->State() == Socket::sckConnected;
}

void Collector::sendToChannel(int n, const QByteArray &text)
{
    if (m_serial[n]->PortOpen())
        m_serial[n]->Output(text);
    else if (m_socket[n]->State() == Socket::sckConnected)
        m_socket[n]->SendData(text);
}

void Collector::waitEvents(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

QString Collector::exchangeRoot() const
{
    return m_store.read(MiscSection(), QStringLiteral("ChiavePC"), QString());
}

QString Collector::exchangePath() const
{
    return m_store.read(MiscSection(), QStringLiteral("PercorsoChiave"), QString());
}

QString Collector::ExchangeFile(int channel) const
{
    // Only the channel that serves the outside request writes to File(n).
    if (channel < 1 || channel > kChannels || !m_protocol[channel].state().Requested)
        return QString();
    return RegistryExchange::ReadExchangeFile(exchangeRoot(), exchangePath(), QStringLiteral("File(%1)").arg(channel));
}

void Collector::writeExchange(const QString &key, const QString &value)
{
    RegistryExchange::WriteRegistryValue(m_settings.Misc.ChiavePC, m_settings.Misc.PercorsoChiave, key, value,
                                         m_messenger);
}

} // namespace vx

#include "tools/simterm/SimTerminal.h"

#include "platform/CheckCharacters.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QSerialPort>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <cmath>
#include <cstring>

namespace vx::sim {

namespace {

// A line longer than this without a CR is cut: the terminal keeps memory
// bounded whatever the collector sends.
constexpr qsizetype kMaxLine = 1 << 20;

const QByteArray kGreeting = QByteArrayLiteral("Connection OK!\r");

void flushDevice(QIODevice *device)
{
    if (auto *socket = qobject_cast<QAbstractSocket *>(device))
        socket->flush();
    else if (auto *port = qobject_cast<QSerialPort *>(device))
        port->flush();
}

// "GETDATA3" with prefix "GETDATA" gives 3; *ok false when no number follows.
int commandNumber(const QByteArray &line, qsizetype prefixLength, bool *ok)
{
    return line.mid(prefixLength).trimmed().toInt(ok);
}

QString tokenText(const QByteArray &data)
{
    QString out;
    for (char c : data) {
        if (c == kAck)
            out += QStringLiteral("<ACK>");
        else if (c == kNak)
            out += QStringLiteral("<NAK>");
        else if (c == kCr)
            out += QStringLiteral("<CR>");
        else if (c == kLf)
            out += QStringLiteral("<LF>");
        else if (static_cast<unsigned char>(c) < 32)
            out += QStringLiteral("<%1>").arg(int(static_cast<unsigned char>(c)));
        else
            out += QLatin1Char(c);
    }
    return out;
}

} // namespace

QByteArray FramedRecord(const QByteArray &text)
{
    return text + XorChecksum(text) + kCr;
}

bool SplitCheckedLine(const QByteArray &line, QByteArray *text)
{
    if (line.size() < 2)
        return false;
    const QByteArray body = line.left(line.size() - 2);
    if (XorChecksum(body) != line.right(2))
        return false;
    if (text)
        *text = body;
    return true;
}

qint64 Percentile(std::vector<qint64> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    // Nearest rank: the smallest value with at least p % of the values at
    // or below it.
    const double rank = std::ceil(p / 100.0 * double(values.size()));
    const size_t index = size_t(std::clamp(rank, 1.0, double(values.size()))) - 1;
    return values[index];
}

std::vector<qint64> SimTerminal::TransferResult::latenciesNs(bool recordsOnly) const
{
    std::vector<qint64> out;
    out.reserve(lines.size());
    for (const LineResult &r : lines) {
        if (r.answer != Answer::Ack || r.latencyNs < 0)
            continue;
        if (recordsOnly && r.kind != LineKind::Record)
            continue;
        out.push_back(r.latencyNs);
    }
    return out;
}

int SimTerminal::TransferResult::recordCount() const
{
    return int(
        std::count_if(lines.begin(), lines.end(), [](const LineResult &r) { return r.kind == LineKind::Record; }));
}

// ---------------------------------------------------------------------------

SimTerminal::SimTerminal(QObject *parent) : QObject(parent)
{
    m_clock.start();
    m_answerTimer.setSingleShot(true);
    m_transferTimer.setSingleShot(true);
    connect(&m_answerTimer, &QTimer::timeout, this, &SimTerminal::txTimeout);
    connect(&m_transferTimer, &QTimer::timeout, this, [this] {
        if (!m_tx.active)
            return;
        if (m_tx.index < int(m_tx.result.lines.size()))
            m_tx.result.lines[size_t(m_tx.index)].answer = Answer::Timeout;
        txFinish();
    });
}

SimTerminal::~SimTerminal()
{
    close();
}

bool SimTerminal::openSerial(const QString &device, qint32 baudRate)
{
    close();
    auto *port = new QSerialPort(device, this);
    port->setBaudRate(baudRate);
    port->setDataBits(QSerialPort::Data8);
    port->setParity(QSerialPort::NoParity);
    port->setStopBits(QSerialPort::OneStop);
    port->setFlowControl(QSerialPort::NoFlowControl);
    if (!port->open(QIODevice::ReadWrite)) {
        m_error = QStringLiteral("cannot open %1: %2").arg(device, port->errorString());
        delete port;
        return false;
    }
    m_serial = port;
    connect(port, &QSerialPort::readyRead, this, &SimTerminal::onReadyRead);
    connect(port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
        if (e == QSerialPort::ResourceError)
            onDeviceGone();
    });
    m_connections = 1;
    setDevice(port);
    emit connected();
    emit changed();
    return true;
}

bool SimTerminal::listenTcp(quint16 port)
{
    close();
    m_server = new QTcpServer(this);
    if (!m_server->listen(QHostAddress::LocalHost, port)) {
        m_error = QStringLiteral("cannot listen on 127.0.0.1:%1: %2").arg(port).arg(m_server->errorString());
        delete m_server;
        m_server = nullptr;
        return false;
    }
    connect(m_server, &QTcpServer::newConnection, this, &SimTerminal::onNewConnection);
    return true;
}

quint16 SimTerminal::tcpPort() const
{
    return m_server ? m_server->serverPort() : 0;
}

bool SimTerminal::isConnected() const
{
    if (m_serial)
        return m_serial->isOpen();
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

bool SimTerminal::waitForConnected(int timeoutMs)
{
    return waitFor([this] { return isConnected(); }, timeoutMs);
}

void SimTerminal::dropConnection()
{
    if (!m_socket)
        return;
    QTcpSocket *s = m_socket;
    s->disconnect(this);
    m_socket = nullptr;
    m_device = nullptr;
    s->abort();
    s->deleteLater();
    emit disconnected();
    txConnectionChanged(false);
    emit changed();
}

void SimTerminal::close()
{
    m_answerTimer.stop();
    m_transferTimer.stop();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        delete m_socket;
    }
    m_socket = nullptr;
    if (m_server) {
        m_server->close();
        delete m_server;
        m_server = nullptr;
    }
    if (m_serial) {
        m_serial->disconnect(this);
        m_serial->close();
        delete m_serial;
        m_serial = nullptr;
    }
    m_device = nullptr;
    m_tx.active = false;
}

void SimTerminal::setGreeting(bool on, int delayMs)
{
    m_greeting = on;
    m_greetingDelayMs = delayMs;
}

QByteArray SimTerminal::answerSuffix() const
{
    if (m_suffixSet)
        return m_suffix;
    return isSerial() ? QByteArray() : QByteArray(1, kCr);
}

void SimTerminal::setAnswerSuffix(const QByteArray &suffix)
{
    m_suffixSet = true;
    m_suffix = suffix;
}

void SimTerminal::setDevice(QIODevice *device)
{
    m_device = device;
    m_lineBuffer.clear();
}

void SimTerminal::onNewConnection()
{
    while (QTcpSocket *s = m_server->nextPendingConnection()) {
        if (m_socket) {
            // The collector came back (a restart, a reconnection): the new
            // connection replaces the old one.
            QTcpSocket *old = m_socket;
            old->disconnect(this);
            old->abort();
            old->deleteLater();
            m_socket = nullptr;
            m_device = nullptr;
            emit disconnected();
            txConnectionChanged(false);
        }
        m_socket = s;
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        ++m_connections;
        connect(s, &QTcpSocket::readyRead, this, &SimTerminal::onReadyRead);
        connect(s, &QTcpSocket::disconnected, this, [this, s] {
            if (s == m_socket)
                onDeviceGone();
        });
        setDevice(s);
        emit connected();

        auto ready = [this, s] {
            if (s != m_socket)
                return;
            if (m_greeting)
                write(kGreeting);
            txConnectionChanged(true);
            emit changed();
        };
        if (m_greeting && m_greetingDelayMs > 0)
            QTimer::singleShot(m_greetingDelayMs, this, ready);
        else
            ready();
    }
}

void SimTerminal::onDeviceGone()
{
    if (!m_device)
        return;
    onReadyRead(); // what arrived before the end still counts
    m_device = nullptr;
    if (m_serial) {
        m_serial->close();
    } else if (m_socket) {
        QTcpSocket *s = m_socket;
        m_socket = nullptr;
        s->disconnect(this);
        s->deleteLater();
    }
    emit disconnected();
    txConnectionChanged(false);
    emit changed();
}

void SimTerminal::onReadyRead()
{
    if (!m_device)
        return;
    const QByteArray bytes = m_device->readAll();
    if (bytes.isEmpty())
        return;
    if (m_record) {
        m_arrivals.push_back({nowNs(), bytes});
        m_received += bytes;
    }

    const char *p = bytes.constData();
    const char *end = p + bytes.size();
    while (p < end) {
        const char c = *p;
        if ((c == kAck || c == kNak) && m_lineBuffer.isEmpty()) {
            handleToken(QByteArray(1, c));
            ++p;
            continue;
        }
        if (c == kCr) {
            const QByteArray line = m_lineBuffer;
            m_lineBuffer.clear();
            handleToken(line);
            ++p;
            continue;
        }
        if (c == kLf) {
            ++p;
            continue;
        }
        // Take the run of ordinary characters at once.
        const char *q = p;
        while (q < end && *q != kCr && *q != kLf)
            ++q;
        if (m_lineBuffer.size() < kMaxLine)
            m_lineBuffer.append(p, std::min<qsizetype>(q - p, kMaxLine - m_lineBuffer.size()));
        p = q;
    }
    emit bytesArrived();
    emit changed();
}

void SimTerminal::handleToken(const QByteArray &token)
{
    if (m_record)
        m_events.push_back({nowNs(), true, token});
    emit pcToken(token);
    if (token.size() == 1 && (token[0] == kAck || token[0] == kNak)) {
        if (m_tx.active && m_tx.awaitingAnswer)
            handleAnswer(token[0] == kAck);
        // Otherwise: the ACK that precedes "BOF" or "RMVDATA", or a stray
        // answer; it stays in the recording.
        return;
    }
    handlePcLine(token);
}

void SimTerminal::handlePcLine(const QByteArray &line)
{
    if (m_lookupState != LookupState::Idle) {
        handleLookupLine(line);
        return;
    }
    if (line.size() >= 2 && line.left(2).toUpper() == "AT") {
        m_modemCommands.append(line);
        emit modemCommandReceived(line);
        switch (m_rules.modemReply) {
        case ModemReply::Ok:
            write(QByteArrayLiteral("OK\r\n"));
            break;
        case ModemReply::Zero:
            write(QByteArrayLiteral("0\r\n"));
            break;
        case ModemReply::Silent:
            break;
        }
        return;
    }
    if (!m_rules.respond)
        return;

    bool ok = false;
    if (line.startsWith("GETDATA")) {
        const int n = commandNumber(line, 7, &ok);
        if (!ok || m_tx.active)
            return; // a terminal busy sending does not start a second file
        const bool accept = m_rules.acceptGetData ? m_rules.acceptGetData(n) : m_dataFiles.contains(n);
        if (!accept) {
            sendNak();
            return;
        }
        m_sent.append(n);
        startTransfer(m_dataFiles.value(n), m_rules.dataSend);
    } else if (line.startsWith("RMVDATA")) {
        const int n = commandNumber(line, 7, &ok);
        if (!ok)
            return;
        if (m_dataFiles.remove(n) > 0) {
            m_removed.append(n);
            emit dataFileRemoved(n);
        }
        sendAck();
    } else if (line.startsWith("PUTFILE")) {
        const int n = commandNumber(line, 7, &ok);
        if (!ok)
            return;
        const PutFileReply reply = m_rules.onPutFile ? m_rules.onPutFile(n) : PutFileReply();
        switch (reply.kind) {
        case PutFileReply::Ack:
            sendAck();
            break;
        case PutFileReply::Nak:
            sendNak();
            break;
        case PutFileReply::GetFile:
            requestLookupFile(reply.file);
            break;
        }
    }
}

void SimTerminal::handleLookupLine(const QByteArray &line)
{
    if (m_lookupState == LookupState::AwaitBof) {
        if (line != "BOF")
            return; // not the start of the file; keep waiting
        m_lookups.back().bofNs = nowNs();
        m_lookupState = LookupState::Lines;
        sendAck();
        return;
    }
    LookupFile &file = m_lookups.back();
    if (line == "EOF") {
        file.complete = true;
        m_lookupState = LookupState::Idle;
        sendAck();
        emit lookupFileReceived(file.number);
        return;
    }
    QByteArray text;
    const bool checkOk = SplitCheckedLine(line, &text);
    if (!checkOk) {
        ++file.badChecks;
        text = line;
    }
    const int lineNo = int(file.lines.size()) + 1;
    const bool accept = m_rules.acceptLookupLine ? m_rules.acceptLookupLine(lineNo, text, checkOk) : checkOk;
    if (accept) {
        file.lines.append(text);
        file.lineNs.push_back(nowNs());
        sendAck();
    } else {
        ++file.naked;
        sendNak();
    }
}

void SimTerminal::requestLookupFile(int j)
{
    LookupFile file;
    file.number = j;
    m_lookups.push_back(file);
    m_lookupState = LookupState::AwaitBof;
    sendLine("GETFILE" + QByteArray::number(j));
}

void SimTerminal::write(const QByteArray &bytes)
{
    if (!m_device)
        return; // no connection: nothing goes out, and nothing is noted
    noteOut(bytes);
    m_device->write(bytes);
    flushDevice(m_device);
}

void SimTerminal::noteOut(const QByteArray &bytes)
{
    if (m_record)
        m_events.push_back({nowNs(), false, bytes});
}

QList<QByteArray> SimTerminal::pcTokens() const
{
    QList<QByteArray> out;
    for (const Event &e : m_events)
        if (e.fromPc)
            out.append(e.data);
    return out;
}

QStringList SimTerminal::transcript() const
{
    QStringList out;
    for (const Event &e : m_events)
        out.append((e.fromPc ? QStringLiteral("PC  ") : QStringLiteral("TRM ")) + tokenText(e.data));
    return out;
}

void SimTerminal::clearRecording()
{
    m_arrivals.clear();
    m_received.clear();
    m_events.clear();
    m_modemCommands.clear();
    m_lookups.clear();
    m_removed.clear();
    m_sent.clear();
}

bool SimTerminal::waitFor(const std::function<bool()> &pred, int timeoutMs)
{
    if (pred())
        return true;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto check = connect(this, &SimTerminal::changed, &loop, [&] {
        if (pred())
            loop.quit();
    });
    if (timeoutMs >= 0)
        timer.start(timeoutMs);
    loop.exec();
    disconnect(check);
    return pred();
}

bool SimTerminal::waitForReceived(const QByteArray &needle, int timeoutMs, qsizetype from)
{
    return waitFor([&] { return m_received.indexOf(needle, from) >= 0; }, timeoutMs);
}

void SimTerminal::sendRaw(const QByteArray &bytes)
{
    write(bytes);
}

void SimTerminal::sendLine(const QByteArray &text)
{
    write(text + kCr);
}

void SimTerminal::sendRecord(const QByteArray &text)
{
    write(FramedRecord(text));
}

void SimTerminal::sendAck()
{
    write(kAck + answerSuffix());
}

void SimTerminal::sendNak()
{
    write(kNak + answerSuffix());
}

void SimTerminal::sendConnect(const QByteArray &speed)
{
    sendLine("CONNECT " + speed);
}

QByteArray SimTerminal::generatedRecord(int i, int length)
{
    static const char kFiller[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    QByteArray r = QByteArray::number(i).rightJustified(8, '0');
    const int start = i % 26;
    for (int k = 0; r.size() < length; ++k)
        r.append(kFiller[(start + k) % 26]);
    return r;
}

// --- Stop-and-wait ----------------------------------------------------------

void SimTerminal::setDataFile(int n, const QList<QByteArray> &records)
{
    m_dataFiles.insert(n, records);
}

bool SimTerminal::startTransfer(const QList<QByteArray> &records, const SendOptions &options)
{
    if (m_tx.active)
        return false;
    QList<QByteArray> lines;
    std::vector<LineKind> kinds;
    lines.reserve(records.size() + 2);
    kinds.reserve(size_t(records.size()) + 2);
    lines.append("BOF");
    kinds.push_back(LineKind::Bof);
    for (const QByteArray &r : records) {
        lines.append(options.checkCharacters ? r + XorChecksum(r) : r);
        kinds.push_back(LineKind::Record);
    }
    lines.append("EOF");
    kinds.push_back(LineKind::Eof);
    txBegin(lines, std::move(kinds), options);
    return true;
}

bool SimTerminal::startLines(const QList<QByteArray> &lines, const SendOptions &options)
{
    if (m_tx.active)
        return false;
    std::vector<LineKind> kinds;
    kinds.reserve(size_t(lines.size()));
    for (const QByteArray &l : lines)
        kinds.push_back(l == "BOF" ? LineKind::Bof : l == "EOF" ? LineKind::Eof : LineKind::Other);
    txBegin(lines, std::move(kinds), options);
    return true;
}

SimTerminal::TransferResult SimTerminal::sendTransfer(const QList<QByteArray> &records, const SendOptions &options)
{
    if (!startTransfer(records, options))
        return TransferResult();
    waitFor([this] { return !m_tx.active; }, -1);
    return m_tx.result;
}

SimTerminal::LineResult SimTerminal::sendAndWait(const QByteArray &line, const SendOptions &options)
{
    if (!startLines({line}, options))
        return LineResult();
    waitFor([this] { return !m_tx.active; }, -1);
    return m_tx.result.lines.empty() ? LineResult() : m_tx.result.lines.front();
}

void SimTerminal::txBegin(const QList<QByteArray> &lines, std::vector<LineKind> kinds, const SendOptions &options)
{
    m_tx = Tx();
    m_tx.active = true;
    m_tx.lines = lines;
    m_tx.kinds = std::move(kinds);
    m_tx.options = options;
    m_tx.result.startNs = nowNs();
    m_tx.result.lines.resize(size_t(lines.size()));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        m_tx.result.lines[size_t(i)].line = lines[i];
        m_tx.result.lines[size_t(i)].kind = m_tx.kinds[size_t(i)];
    }
    if (options.transferTimeoutMs > 0)
        m_transferTimer.start(options.transferTimeoutMs);
    if (lines.isEmpty()) {
        txFinish();
        return;
    }
    txSendCurrent();
}

void SimTerminal::txSendCurrent()
{
    if (!isConnected()) {
        m_tx.awaitingAnswer = false;
        if (m_tx.options.resendUntilAck)
            return; // resumed by the next connection
        m_tx.result.lines[size_t(m_tx.index)].answer = Answer::Disconnected;
        txFinish();
        return;
    }
    if (m_tx.bofFirst) {
        m_tx.bofFirst = false;
        m_tx.bofAwaiting = true;
    }
    LineResult &r = m_tx.result.lines[size_t(m_tx.index)];
    if (m_tx.bofAwaiting) {
        write(QByteArrayLiteral("BOF\r"));
    } else {
        ++m_tx.attempts;
        r.attempts = m_tx.attempts;
        r.sentNs = nowNs(); // the latency includes the write itself
        write(m_tx.lines[m_tx.index] + kCr);
    }
    m_tx.awaitingAnswer = true;
    m_answerTimer.start(m_tx.options.answerTimeoutMs);
}

void SimTerminal::handleAnswer(bool ack)
{
    const qint64 at = nowNs();
    m_answerTimer.stop();
    m_tx.awaitingAnswer = false;
    if (m_tx.bofAwaiting) {
        // The "BOF" that restarts an interrupted transfer: the interrupted
        // line follows once it is acknowledged.
        if (ack)
            m_tx.bofAwaiting = false;
        txSendCurrent();
        return;
    }
    LineResult &r = m_tx.result.lines[size_t(m_tx.index)];
    r.latencyNs = at - r.sentNs;
    if (ack) {
        ++m_tx.result.acked;
        txAdvance(Answer::Ack);
        return;
    }
    ++m_tx.result.naked;
    const SendOptions &o = m_tx.options;
    if (o.resendUntilAck && (o.maxAttempts <= 0 || m_tx.attempts < o.maxAttempts)) {
        ++m_tx.result.resends;
        txSendCurrent();
        return;
    }
    txAdvance(Answer::Nak);
}

void SimTerminal::txAdvance(Answer answer)
{
    m_tx.result.lines[size_t(m_tx.index)].answer = answer;
    ++m_tx.index;
    m_tx.attempts = 0;
    if (m_tx.index >= m_tx.lines.size()) {
        txFinish();
        return;
    }
    txSendCurrent();
}

void SimTerminal::txTimeout()
{
    if (!m_tx.active || !m_tx.awaitingAnswer)
        return;
    m_tx.awaitingAnswer = false;
    ++m_tx.result.timeouts;
    const SendOptions &o = m_tx.options;
    if (o.resendUntilAck && (o.maxAttempts <= 0 || m_tx.attempts < o.maxAttempts)) {
        ++m_tx.result.resends;
        txSendCurrent();
        return;
    }
    m_tx.result.lines[size_t(m_tx.index)].answer = Answer::Timeout;
    txFinish();
}

void SimTerminal::txConnectionChanged(bool up)
{
    if (!m_tx.active)
        return;
    if (!up) {
        if (!m_tx.awaitingAnswer)
            return;
        m_answerTimer.stop();
        m_tx.awaitingAnswer = false;
        if (!m_tx.options.resendUntilAck) {
            m_tx.result.lines[size_t(m_tx.index)].answer = Answer::Disconnected;
            txFinish();
        }
        return;
    }
    // A new connection while a line waits for its ACK: send it again, after
    // a fresh "BOF" when asked to.
    if (!m_tx.options.resendUntilAck)
        return;
    m_answerTimer.stop();
    m_tx.awaitingAnswer = false;
    m_tx.bofAwaiting = false;
    m_tx.bofFirst = m_tx.options.bofOnReconnect && m_tx.index > 0 && m_tx.kinds[size_t(m_tx.index)] != LineKind::Bof;
    if (m_tx.attempts > 0)
        ++m_tx.result.resends;
    txSendCurrent();
}

void SimTerminal::txFinish()
{
    m_answerTimer.stop();
    m_transferTimer.stop();
    m_tx.active = false;
    m_tx.awaitingAnswer = false;
    m_tx.result.endNs = nowNs();
    m_tx.result.complete = std::all_of(m_tx.result.lines.begin(), m_tx.result.lines.end(),
                                       [](const LineResult &r) { return r.answer == Answer::Ack; });
    emit transferFinished();
    emit changed();
}

// --- AckOnlyPeer ------------------------------------------------------------

AckOnlyPeer::AckOnlyPeer(QIODevice *device, QObject *parent) : QObject(parent), m_device(device)
{
    connect(device, &QIODevice::readyRead, this, &AckOnlyPeer::onReadyRead);
}

void AckOnlyPeer::setDecider(std::function<QByteArray(const QByteArray &)> decider)
{
    m_decider = std::move(decider);
}

void AckOnlyPeer::onReadyRead()
{
    const QByteArray data = m_device->readAll();
    if (data.isEmpty())
        return;
    QByteArray answers;
    if (!m_decider) {
        // Only the CRs matter: one ACK for each.
        const qsizetype crs = data.count(kCr);
        m_lines += crs;
        answers = QByteArray(crs, kAck);
    } else {
        qsizetype start = 0;
        for (;;) {
            const qsizetype cr = data.indexOf(kCr, start);
            if (cr < 0)
                break;
            m_partial.append(data.constData() + start, cr - start);
            ++m_lines;
            answers += m_decider(m_partial);
            m_partial.clear();
            start = cr + 1;
        }
        if (m_partial.size() < kMaxLine)
            m_partial.append(data.mid(start, kMaxLine - m_partial.size()));
    }
    if (!answers.isEmpty()) {
        m_device->write(answers);
        flushDevice(m_device);
    }
}

} // namespace vx::sim

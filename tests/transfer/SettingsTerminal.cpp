#include "SettingsTerminal.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>
#include <zlib.h>

namespace vx::test {

SettingsTerminal::SettingsTerminal(QObject *parent) : QObject(parent) {}

SettingsTerminal::~SettingsTerminal()
{
    close();
}

bool SettingsTerminal::openSerial(const QString &device, qint32 baudRate)
{
    close();
    m_serial = new QSerialPort(device, this);
    m_serial->setBaudRate(baudRate);
    m_serial->setDataBits(QSerialPort::Data8);
    m_serial->setParity(QSerialPort::NoParity);
    m_serial->setStopBits(QSerialPort::OneStop);
    m_serial->setFlowControl(QSerialPort::NoFlowControl);
    if (!m_serial->open(QIODevice::ReadWrite)) {
        m_error = m_serial->errorString();
        delete m_serial;
        m_serial = nullptr;
        return false;
    }
    connect(m_serial, &QSerialPort::readyRead, this, &SettingsTerminal::onReadyRead);
    return true;
}

void SettingsTerminal::close()
{
    if (m_serial) {
        m_serial->close();
        delete m_serial;
        m_serial = nullptr;
    }
}

void SettingsTerminal::onReadyRead()
{
    const QByteArray answer = take(m_serial->readAll());
    Q_UNUSED(answer); // already written by take()
}

QByteArray SettingsTerminal::take(const QByteArray &bytes)
{
    m_received += bytes;
    QByteArray answers;
    for (const char c : bytes) {
        if (c != '\r') {
            m_partial += c;
            continue;
        }
        answers += handleLine(m_partial);
        m_partial.clear();
    }
    if (!answers.isEmpty())
        sendRaw(answers);
    emit changed();
    return answers;
}

QByteArray SettingsTerminal::handleLine(const QByteArray &line)
{
    if (line.isEmpty()) {
        ++m_badChecks;
        return "NAK" + m_suffix;
    }
    const QByteArray text = line.chopped(1);
    const char check = line.back();
    m_lines << text;
    if (text == m_current) {
        ++m_attempt;
    } else {
        m_current = text;
        m_attempt = 1;
    }
    if (check != CheckByte(text)) {
        ++m_badChecks;
        return "NAK" + m_suffix;
    }
    if (text == "SETTINGS") {
        m_accepted.clear();
        m_afterEof = false;
        m_crcSeen = false;
        m_crcAgreed = false;
    }

    const bool crcLine = m_afterEof;
    QByteArray answer;
    if (crcLine) {
        m_crcSeen = true;
        m_crcReceived = text;
        m_crcOwn = Crc(m_accepted);
        m_crcAgreed = m_crcOwn == text;
        answer = m_crcAgreed ? "ACK" : "NOK";
    } else {
        answer = "ACK";
    }
    if (m_rule) {
        if (const std::optional<QByteArray> chosen = m_rule(text, m_attempt, crcLine))
            answer = *chosen;
    }
    // Accepted when the last word of the answer is ACK (a rule may put a
    // stray line before it).
    if (answer == "ACK" || answer.endsWith("\rACK")) {
        if (crcLine) {
            m_afterEof = false;
        } else {
            m_accepted << text;
            if (text == "EOF")
                m_afterEof = true;
        }
        m_current.clear();
        m_attempt = 0;
    }
    return answer.isEmpty() ? QByteArray() : answer + m_suffix;
}

QList<QByteArray> SettingsTerminal::items() const
{
    const qsizetype bof = m_accepted.indexOf("BOF");
    const qsizetype eof = m_accepted.lastIndexOf("EOF");
    if (bof < 0)
        return {};
    return m_accepted.mid(bof + 1, (eof > bof ? eof : m_accepted.size()) - bof - 1);
}

char SettingsTerminal::CheckByte(const QByteArray &text)
{
    unsigned sum = 0;
    for (const char c : text)
        sum += static_cast<unsigned char>(c);
    sum %= 255;
    if (sum == 0 || sum == 13)
        sum = 1;
    return static_cast<char>(sum);
}

QByteArray SettingsTerminal::Crc(const QList<QByteArray> &pieces)
{
    uLong crc = crc32(0L, Z_NULL, 0);
    for (const QByteArray &p : pieces)
        crc = crc32(crc, reinterpret_cast<const Bytef *>(p.constData()), uInt(p.size()));
    return QByteArray::number(qulonglong(crc), 16).rightJustified(8, '0').toUpper();
}

QByteArray SettingsTerminal::Stream(const QList<QByteArray> &lines, const StreamOptions &options)
{
    const QByteArray end = options.lfAfterCr ? "\r\n" : "\r";
    QList<QByteArray> all;
    all << "SETTINGS"
        << "BOF" << lines << "EOF";
    QByteArray bytes;
    for (const QByteArray &l : std::as_const(all))
        bytes += l + end;
    if (options.withCrc) {
        QByteArray crc = options.crcOverride.isEmpty() ? Crc(all) : options.crcOverride;
        if (options.lowerCaseCrc)
            crc = crc.toLower();
        bytes += crc + end;
    }
    return bytes;
}

QByteArray SettingsTerminal::sendSettings(const QList<QByteArray> &lines, const StreamOptions &options)
{
    const QByteArray bytes = Stream(lines, options);
    sendRaw(bytes);
    return bytes;
}

void SettingsTerminal::sendRaw(const QByteArray &bytes)
{
    if (m_serial && m_serial->isOpen()) {
        m_serial->write(bytes);
        m_serial->flush();
    }
}

bool SettingsTerminal::waitFor(const std::function<bool()> &pred, int timeoutMs)
{
    if (pred())
        return true;
    QDeadlineTimer deadline(timeoutMs);
    QEventLoop loop;
    QTimer tick;
    tick.setInterval(20);
    auto check = [&] {
        if (pred() || deadline.hasExpired())
            loop.quit();
    };
    connect(&tick, &QTimer::timeout, &loop, check);
    connect(this, &SettingsTerminal::changed, &loop, check, Qt::QueuedConnection);
    tick.start();
    loop.exec();
    return pred();
}

} // namespace vx::test

#include "transfer/SettingsReceiver.h"

#include "crclib/CrcLibrary.h"
#include "platform/Clock.h"
#include "platform/OwnFiles.h"
#include "platform/Paths.h"
#include "transfer/SettingsLine.h"
#include "transfer/SettingsLinks.h"
#include "transfer/TransferMessages.h"
#include "transport/SerialPort.h"

namespace vx {

namespace {
const QByteArray kCancelled = QByteArrayLiteral("Cancelled");
}

QString ReceiveOutcomeText(ReceiveOutcome outcome)
{
    switch (outcome) {
    case ReceiveOutcome::Accepted:
        return QStringLiteral("Settings Received!");
    case ReceiveOutcome::CrcMismatch:
    case ReceiveOutcome::CancelledAfterEof:
    case ReceiveOutcome::NothingReceived:
        return TransferText::receiveError();
    case ReceiveOutcome::PortNotOpened:
        return TransferText::cantOpenPort();
    case ReceiveOutcome::TempFileError:
        return TransferText::receiveEventError();
    case ReceiveOutcome::NoChecksum:
        return CrcLibrary::instance().errorText().isEmpty() ? QStringLiteral("The checksum library cannot be loaded.")
                                                            : CrcLibrary::instance().errorText();
    case ReceiveOutcome::TooLarge:
        return QStringLiteral("The terminal sent more than %1: no profile is that large. Nothing was imported.")
            .arg(QStringLiteral("1 MiB"));
    case ReceiveOutcome::TooLong:
        return QStringLiteral("The terminal was still sending %1 minutes after its first byte. Nothing was imported.")
            .arg(SettingsReceiver::kMaxReceiveMs / 60000);
    case ReceiveOutcome::HungUp:
        return QStringLiteral("The line hung up before the settings were complete. Nothing was imported.");
    case ReceiveOutcome::Cancelled:
        break;
    }
    return {};
}

QString SettingsReceiver::failureText() const
{
    if (m_outcome == ReceiveOutcome::HungUp && !m_failure.isEmpty())
        return ReceiveOutcomeText(m_outcome) + QLatin1Char(' ') + m_failure;
    return ReceiveOutcomeText(m_outcome);
}

MsgIcon ReceiveOutcomeIcon(ReceiveOutcome outcome)
{
    switch (outcome) {
    case ReceiveOutcome::PortNotOpened:
    case ReceiveOutcome::NoChecksum:
        return MsgIcon::Critical;
    case ReceiveOutcome::TempFileError:
        return MsgIcon::None;
    default:
        break;
    }
    return MsgIcon::Information;
}

SettingsReceiver::SettingsReceiver(CrcLibrary &crc, QObject *parent) : SettingsReceiver(crc, Clock::current(), parent)
{
}

SettingsReceiver::SettingsReceiver(CrcLibrary &crc, Clock &clock, QObject *parent)
    : QObject(parent), m_crc(crc), m_clock(clock), m_tempPath(Paths::dataFile(QStringLiteral("VDX.tmp")))
{
    qRegisterMetaType<vx::ReceiveOutcome>();
    m_poll.setSingleShot(true);
    connect(&m_poll, &QTimer::timeout, this, &SettingsReceiver::pollInfrared);
    m_deadlineTick.setInterval(1000);
    connect(&m_deadlineTick, &QTimer::timeout, this, &SettingsReceiver::checkDeadline);
}

SettingsReceiver::~SettingsReceiver()
{
    m_poll.stop();
    if (m_temp.isOpen())
        m_temp.close();
    // Ended by the program's end in the middle of a reception.
    if (m_madeTemp && (m_running || m_outcome != ReceiveOutcome::Accepted))
        QFile::remove(m_tempPath);
}

Messenger &SettingsReceiver::messenger() const
{
    return m_messenger ? *m_messenger : Messenger::current();
}

// The common start: a fresh temporary file, empty CRC texts.
bool SettingsReceiver::begin()
{
    m_running = true;
    m_line.clear();
    m_expected.clear();
    m_computed.clear();
    m_lines = 0;
    m_contentLines = 0;
    m_progress = 0;
    m_gotBytes = false;
    m_writeErrorShown = false;
    if (!m_crc.ensureLoaded()) {
        finish(ReceiveOutcome::NoChecksum);
        return false;
    }
    m_firstByteAt = -1;
    m_received = 0;
    m_failure.clear();
    if (m_temp.isOpen())
        m_temp.close();
    // Made afresh and exclusively, readable by its owner only: a link or
    // FIFO planted under the name is removed, never written through.
    QString why;
    const int fd = CreateOwnFile(m_tempPath, 0600, &why);
    if (fd < 0 || !m_temp.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        messenger().message(TransferText::receiveEventError());
        messenger().message(QStringLiteral("The scratch file %1 for the received settings cannot be made: %2. "
                                           "Nothing is received; check that its folder can be written, then try again.")
                                .arg(m_tempPath, fd < 0 ? why : m_temp.errorString()));
        finish(ReceiveOutcome::TempFileError);
        return false;
    }
    m_madeTemp = true;
    m_deadlineTick.start();
    return true;
}

void SettingsReceiver::startSerial(SerialPort *port, int portNumber, const QString &speed)
{
    if (m_running)
        return;
    if (!begin())
        return;
    m_port = port;
    m_device = nullptr;
    if (!m_port) {
        finish(ReceiveOutcome::PortNotOpened);
        return;
    }
    if (m_port->PortOpen())
        m_port->setPortOpen(false);
    m_port->setCommPort(portNumber);
    m_port->setHandshaking(2);
    m_port->setInputLen(1);
    m_port->setSettings(speed.trimmed() + QStringLiteral(",n,8,1"));
    m_port->setRThreshold(1);
    m_port->setRTSEnable(true);
    connect(m_port, &SerialPort::OnComm, this, &SettingsReceiver::onComm, Qt::UniqueConnection);
    connect(m_port, &SerialPort::Failed, this, &SettingsReceiver::onPortFailed, Qt::UniqueConnection);
    if (!m_port->setPortOpen(true)) {
        m_temp.close();
        finish(ReceiveOutcome::PortNotOpened);
        return;
    }
    // Characters that arrived before the port was looked at are not lost.
    if (m_port->InBufferCount() > 0)
        QTimer::singleShot(0, this, &SettingsReceiver::onComm);
}

void SettingsReceiver::onComm()
{
    if (!m_running || !m_port || m_device)
        return;
    if (m_port->CommEvent() != SerialPort::comEvReceive && m_port->InBufferCount() == 0)
        return;
    // One character per read, as long as characters are waiting.
    while (m_running && m_port && m_port->PortOpen()) {
        const QByteArray c = m_port->Input();
        if (c.isEmpty())
            break;
        if (!countReceived(c.size()))
            return;
        for (const char ch : c)
            if (m_running)
                handleChar(ch);
    }
}

void SettingsReceiver::handleChar(char c)
{
    if (c != '\r') {
        if (m_line.size() < kMaxLineLength)
            m_line += c;
        return;
    }
    if (m_expected != kEofWord) {
        storeLine(m_line);
        if (m_line == kEofWord)
            m_expected = kEofWord;
        m_line.clear();
        return;
    }
    // The line after "EOF": the terminal's CRC text.
    m_expected = m_line;
    m_line.clear();
    m_temp.close();
    m_computed = computeCrc();
    if (m_port && m_port->PortOpen())
        m_port->setPortOpen(false);
    finish(m_computed == m_expected && !m_computed.isEmpty() ? ReceiveOutcome::Accepted : ReceiveOutcome::CrcMismatch);
}

void SettingsReceiver::storeLine(const QByteArray &line)
{
    QByteArray out = line;
    out += "\r\n";
    if (m_temp.write(out) != out.size() && !m_writeErrorShown) {
        // Told once; the reception goes on and its CRC will not agree.
        m_writeErrorShown = true;
        messenger().message(TransferText::receiveEventError());
        messenger().message(QStringLiteral("The received settings cannot be written to the scratch file %1: %2. "
                                           "The reception goes on, but its CRC will not agree; try again once "
                                           "the folder has room.")
                                .arg(m_tempPath, m_temp.errorString()));
    }
    ++m_lines;
    if (!TrimBlankBytes(line).isEmpty())
        ++m_contentLines;
    m_progress = (m_progress + 1) % 100;
    emit progress(m_progress);
    emit lineReceived(line);
}

QByteArray SettingsReceiver::computeCrc()
{
    QList<QByteArray> items;
    if (!ReadSettingsItems(m_tempPath, &items))
        return {};
    uint32_t reg = m_crc.begin();
    for (const QByteArray &item : std::as_const(items))
        reg = m_crc.feed(item, reg);
    QByteArray hex;
    m_crc.end(reg, &hex);
    return hex.left(8);
}

void SettingsReceiver::startInfrared(IrDevice *device, int portNumber, int speed)
{
    if (m_running)
        return;
    if (!begin())
        return;
    m_port = nullptr;
    m_device = device;
    m_device->close();
    m_device->open(portNumber, speed); // a link that did not open just stays quiet
    m_poll.start(5);
}

void SettingsReceiver::pollInfrared()
{
    if (!m_running || !m_device)
        return;
    const qint64 now = m_clock.nowMs();
    bool any = false;
    for (int reads = 0; reads < 64 && m_running; ++reads) {
        const QByteArray data = m_device->read();
        if (data.isEmpty())
            break;
        any = true;
        if (!countReceived(data.size()))
            return;
        for (const char c : data) {
            if (c != '\r') {
                if (m_line.size() < kMaxLineLength)
                    m_line += c;
                continue;
            }
            const QByteArray line = m_line;
            m_line.clear();
            if (m_expected == kEofWord) {
                // The line after "EOF": the terminal's CRC text, compared as
                // on the serial path.
                m_expected = line;
                m_poll.stop();
                m_temp.close();
                m_device->close();
                m_computed = computeCrc();
                finish(m_computed == m_expected && !m_computed.isEmpty() ? ReceiveOutcome::Accepted
                                                                         : ReceiveOutcome::CrcMismatch);
                return;
            }
            storeLine(line);
            if (line == kEofWord)
                m_expected = kEofWord;
        }
    }
    if (any) {
        m_gotBytes = true;
        m_lastData = now;
    } else if (m_gotBytes && now - m_lastData >= kInfraredQuietMs) {
        endInfrared();
        return;
    }
    m_poll.start(any ? 1 : 5);
}

void SettingsReceiver::endInfrared()
{
    m_poll.stop();
    if (!m_line.isEmpty()) {
        // A last line without its carriage return is kept as a line.
        storeLine(m_line);
        m_line.clear();
    }
    m_temp.close();
    m_device->close();
    if (m_contentLines == 0) {
        finish(ReceiveOutcome::NothingReceived);
        return;
    }
    m_computed = computeCrc();
    if (m_computed.isEmpty()) {
        finish(ReceiveOutcome::TempFileError);
        return;
    }
    // The terminal fell quiet before its CRC line: nothing checks what
    // arrived, so it is not imported.
    finish(ReceiveOutcome::CrcMismatch);
}

void SettingsReceiver::cancel()
{
    if (m_port && m_port->PortOpen())
        m_port->setPortOpen(false);
    if (!m_running)
        return;
    m_poll.stop();
    if (m_device)
        m_device->close();
    if (m_temp.isOpen())
        m_temp.close();
    // Differs from anything the expected text can hold now: "" or "EOF".
    m_computed = kCancelled;
    finish(m_expected == kEofWord ? ReceiveOutcome::CancelledAfterEof : ReceiveOutcome::Cancelled);
}

// Counts what arrived; false (and the reception ended) past a bound.
bool SettingsReceiver::countReceived(qsizetype bytes)
{
    if (m_firstByteAt < 0)
        m_firstByteAt = m_clock.nowMs();
    m_received += bytes;
    if (m_received > kMaxReceivedBytes) {
        endOnBound(ReceiveOutcome::TooLarge);
        return false;
    }
    checkDeadline();
    return m_running;
}

void SettingsReceiver::checkDeadline()
{
    if (m_running && m_firstByteAt >= 0 && m_clock.nowMs() - m_firstByteAt > kMaxReceiveMs)
        endOnBound(ReceiveOutcome::TooLong);
}

void SettingsReceiver::onPortFailed(const QString &why)
{
    if (!m_running || m_device)
        return;
    m_failure = why;
    endOnBound(ReceiveOutcome::HungUp);
}

void SettingsReceiver::endOnBound(ReceiveOutcome outcome)
{
    if (m_port && m_port->PortOpen())
        m_port->setPortOpen(false);
    if (m_device)
        m_device->close();
    if (m_temp.isOpen())
        m_temp.close();
    m_computed = kCancelled; // no import follows
    finish(outcome);
}

void SettingsReceiver::finish(ReceiveOutcome outcome)
{
    m_running = false;
    m_poll.stop();
    m_deadlineTick.stop();
    m_outcome = outcome;
    if (m_temp.isOpen())
        m_temp.close();
    // Only an accepted reception keeps VDX.tmp, for its import.
    if (m_madeTemp && outcome != ReceiveOutcome::Accepted)
        QFile::remove(m_tempPath);
    emit finished(outcome);
}

} // namespace vx

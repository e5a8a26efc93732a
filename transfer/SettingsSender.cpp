#include "transfer/SettingsSender.h"

#include "crclib/CrcLibrary.h"
#include "platform/Clock.h"
#include "profiles/ProfileFile.h"
#include "profiles/ProfileRules.h"
#include "transfer/SettingsLine.h"
#include "transfer/TransferMessages.h"

#include <QFile>

namespace vx {

QString SendOutcomeText(SendOutcome outcome)
{
    switch (outcome) {
    case SendOutcome::Success:
        return TransferText::sendSuccess();
    case SendOutcome::ChecksumError:
        return TransferText::sendChecksumError();
    case SendOutcome::Timeout:
        return TransferText::sendTimeout();
    case SendOutcome::Failure:
        return TransferText::sendFailure();
    case SendOutcome::PortNotOpened:
        return TransferText::cantOpenPort();
    case SendOutcome::FileNotReadable:
        return TransferText::profileMissing();
    case SendOutcome::NoChecksum:
        return CrcLibrary::instance().errorText().isEmpty() ? QStringLiteral("The checksum library cannot be loaded.")
                                                            : CrcLibrary::instance().errorText();
    case SendOutcome::CommaInValue:
        return QStringLiteral(
            "A value of the profile holds a comma: the terminal would take what follows it as "
            "another setting. The profile was not sent.");
    case SendOutcome::LinkNotOpened:
    case SendOutcome::Stopped:
        break;
    }
    return {};
}

ProfileCheck CheckProfileForSending(const QString &path, QByteArray *content)
{
    ProfileCheck check;
    ProfileReadResult result;
    if (ReadProfileBytes(path, content, &result)) {
        // A comma is named first: it is what the terminal would misread.
        check.commaKeys = KeysWithComma(*content);
        if (!check.commaKeys.isEmpty()) {
            check.refusal = CommaRefusalText(check.commaKeys) + QStringLiteral(" The profile was not sent.");
            return check;
        }
        ProfileSet scratch;
        result = ParseProfileText(*content, scratch);
    }
    if (!result.ok()) {
        check.refusal = result.status == ProfileReadResult::Status::CannotOpen && result.missing
                            ? TransferText::profileMissing() + QStringLiteral(": ") + path
                            : result.message(path);
        return check;
    }
    check.ok = true;
    return check;
}

QString SettingsSender::outcomeText() const
{
    if (!m_refusal.isEmpty())
        return m_refusal;
    if (m_outcome == SendOutcome::CommaInValue)
        return CommaRefusalText(m_commaKeys) + QStringLiteral(" The profile was not sent.");
    return SendOutcomeText(m_outcome);
}

MsgIcon SendOutcomeIcon(SendOutcome outcome)
{
    switch (outcome) {
    case SendOutcome::PortNotOpened:
    case SendOutcome::NoChecksum:
    case SendOutcome::CommaInValue:
        return MsgIcon::Critical;
    case SendOutcome::FileNotReadable:
        return MsgIcon::Information;
    default:
        break;
    }
    return MsgIcon::Exclamation;
}

SettingsSender::SettingsSender(SettingsSendLink *link, CrcLibrary &crc, QObject *parent)
    : SettingsSender(link, crc, Clock::current(), parent)
{
}

SettingsSender::SettingsSender(SettingsSendLink *link, CrcLibrary &crc, Clock &clock, QObject *parent)
    : QObject(parent), m_crc(crc), m_clock(clock), m_tick(new QTimer(this))
{
    qRegisterMetaType<vx::SendOutcome>();
    m_tick->setObjectName(QStringLiteral("Timer1"));
    connect(m_tick, &QTimer::timeout, this, &SettingsSender::onTick);
    setLink(link);
}

SettingsSender::~SettingsSender()
{
    m_tick->stop();
}

void SettingsSender::setLink(SettingsSendLink *link)
{
    if (m_running || link == m_link)
        return;
    if (m_link)
        disconnect(m_link, nullptr, this, nullptr);
    m_link = link;
    if (m_link)
        connect(m_link, &SettingsSendLink::answered, this, &SettingsSender::onAnswer);
}

void SettingsSender::start(const QString &profilePath)
{
    if (m_running || !m_link)
        return;
    m_running = true;
    m_lines.clear();
    m_index = 0;
    m_progress = 0;
    m_itemCount = 0;
    m_itemsAccepted = 0;
    m_crcText.clear();
    m_commaKeys.clear();

    m_refusal.clear();

    // Read and checked as every use reads a profile; refused before
    // anything is opened or sent.
    QByteArray content;
    const ProfileCheck check = CheckProfileForSending(profilePath, &content);
    if (!check.ok) {
        m_commaKeys = check.commaKeys;
        m_refusal = check.refusal;
        finish(m_commaKeys.isEmpty() ? SendOutcome::FileNotReadable : SendOutcome::CommaInValue);
        return;
    }
    const QList<QByteArray> items = SettingsItems(content);
    if (!m_crc.ensureLoaded()) {
        finish(SendOutcome::NoChecksum);
        return;
    }
    switch (m_link->open()) {
    case SettingsSendLink::OpenResult::Opened:
        break;
    case SettingsSendLink::OpenResult::PortNotOpened:
        finish(SendOutcome::PortNotOpened);
        return;
    case SettingsSendLink::OpenResult::LinkNotOpened:
        finish(SendOutcome::LinkNotOpened);
        return;
    }

    m_lines << Line{Kind::Word, kSettingsWord} << Line{Kind::Word, kBofWord};
    for (const QByteArray &item : std::as_const(items)) {
        m_lines << Line{Kind::Item, item};
        if (m_link->carries(item))
            ++m_itemCount;
    }
    m_lines << Line{Kind::Word, kEofWord} << Line{Kind::Crc, {}};
    m_register = m_crc.begin();
    next();
}

// Moves on to the line at m_index: skips what is not sent, ends where the
// exchange ends, sends the rest.
void SettingsSender::next()
{
    while (m_running && m_index < m_lines.size()) {
        Line &line = m_lines[m_index];
        switch (line.kind) {
        case Kind::Word:
            if (!m_link->isOpen()) {
                ++m_index;
                continue;
            }
            break;
        case Kind::Item:
            m_progress = (m_progress + 1) % 100;
            emit progress(m_progress);
            if (!m_link->carries(line.text)) {
                ++m_index;
                continue;
            }
            if (!m_link->isOpen()) {
                finish(SendOutcome::Failure);
                return;
            }
            break;
        case Kind::Crc:
            m_crc.end(m_register, &m_crcText);
            line.text = m_crcText.left(8);
            if (!m_link->isOpen()) {
                finish(SendOutcome::Stopped);
                return;
            }
            break;
        }
        m_attemptsLeft = kAttempts;
        sendCurrent();
        return;
    }
    if (m_running) // only after a cancel during the CRC line
        finish(SendOutcome::Stopped);
}

void SettingsSender::sendCurrent()
{
    const Line &line = m_lines.at(m_index);
    m_waiting = true;
    m_deadline = m_clock.nowMs() + kAnswerTimeoutMs;
    m_tick->start(50);
    emit lineSent(line.text, kAttempts - m_attemptsLeft + 1);
    m_link->send(FrameSettingsLine(line.text), line.kind == Kind::Crc);
}

void SettingsSender::onAnswer(SettingsSendLink::Answer answer)
{
    if (!m_running || !m_waiting)
        return;
    m_waiting = false;
    m_tick->stop();
    const Line &line = m_lines.at(m_index);
    const bool crcLine = line.kind == Kind::Crc;

    if (answer == SettingsSendLink::Answer::Ack) {
        if (crcLine) {
            finish(SendOutcome::Success);
            return;
        }
        m_register = m_crc.feed(line.text, m_register);
        if (line.kind == Kind::Item)
            ++m_itemsAccepted;
        ++m_index;
        next();
        return;
    }
    if (answer == SettingsSendLink::Answer::Nok && crcLine) {
        finish(SendOutcome::ChecksumError);
        return;
    }
    // A refusal: one more attempt.
    if (--m_attemptsLeft <= 0) {
        finish(SendOutcome::Failure);
        return;
    }
    sendCurrent();
}

void SettingsSender::onTick()
{
    if (m_waiting && m_clock.nowMs() >= m_deadline)
        finish(SendOutcome::Timeout);
}

void SettingsSender::cancel()
{
    if (m_link)
        m_link->close();
    if (!m_running)
        return;
    if (m_waiting) {
        // The line in transit gets no answer now; go on as the closed port
        // makes the exchange go on.
        m_waiting = false;
        m_tick->stop();
        ++m_index;
        next();
    }
}

void SettingsSender::finish(SendOutcome outcome)
{
    m_tick->stop();
    m_waiting = false;
    const bool wasRunning = m_running;
    m_running = false;
    m_outcome = outcome;
    if (wasRunning)
        m_link->exchangeEnded(outcome == SendOutcome::Success);
    emit finished(outcome);
}

} // namespace vx

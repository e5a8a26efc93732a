// The collector-driven exchange: GETDATA / RMVDATA / PUTFILE, and the
// look-up files sent line by line on GETFILE.
#include "collector/Collector.h"
#include "collector/LookupFile.h"
#include "collector/RegistryExchange.h"
#include "platform/CheckCharacters.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "settings/IniStore.h"
#include "store/ErpArticleExport.h"
#include "transport/SerialPort.h"
#include "transport/Socket.h"

#include <QFile>

namespace vx {

namespace {

QByteArray number(int n)
{
    return QByteArray::number(n);
}

} // namespace

void Collector::timerComAuto_Timer(int n)
{
    ChannelState &s = m_state[n];
    const QString v = RegistryExchange::ReadRegistryValue(exchangeRoot(), exchangePath(),
                                                          QStringLiteral("Profilo(%1)").arg(n), QStringLiteral("0"));
    if (!s.StepActive)
        return;
    const bool open = m_serial[n]->PortOpen() || m_socket[n]->State() == Socket::sckConnected;
    if (!v.isEmpty() && s.Requested) {
        // One data file, as the outside program asked.
        QString why;
        if (open && !RegistryExchange::SafeOnWire(v, &why)) {
            // The text would go onto the wire after the command word: a line
            // end in it would make a second command of its own.
            endRequest(
                n, QStringLiteral("6"),
                QStringLiteral("Profilo(%1) holds %2: the request is refused (%3 = 6)").arg(n).arg(why, m_requestKey));
            return;
        }
        if (open) {
            if (s.LastCommand.startsWith("PUTFILE"))
                s.FileNo = s.FileNo >= 5 ? 1 : s.FileNo + 1;
            const QByteArray c = "GETDATA" + v.toLatin1();
            PLog(QStringLiteral(" OUT -> ") + QString::fromLatin1(c), n);
            s.StepActive = false;
            s.FileNo = static_cast<int>(NumericValue(v));
            sendToChannel(n, c + "\r");
            s.LastCommand = c;
            s.Exchange = true;
            // A requested collection always ends: a terminal that stays
            // silent meets the reply time-out (armed by the first sending;
            // the terminal's characters push it on).
            if (!s.AckWait)
                resetTimerTimeout(n);
        }
        s.StepStart = now();
        return;
    }
    // Automatic collection: the next data file, and the period goes on.
    if (open) {
        if (s.LastCommand.startsWith("PUTFILE"))
            s.FileNo = s.FileNo >= 5 ? 1 : s.FileNo + 1;
        const QByteArray c = "GETDATA" + number(s.FileNo);
        sendToChannel(n, c + "\r");
        s.LastCommand = c;
        s.Exchange = true;
    }
    s.StepStart = now();
}

void Collector::acknowledgementStep(QByteArray &answer, int n)
{
    ChannelState &s = m_state[n];
    if (s.Exchange && s.LastCommand == "putfile") {
        // A look-up file was completed: on to the next data file.
        if (s.FileNo < 5) {
            ++s.FileNo;
            timerComAuto_Timer(n);
        } else {
            s.FileNo = 1;
            s.LastCommand.clear();
            s.Exchange = false;
            s.StepActive = true;
        }
    }
    if (s.Exchange && s.LastCommand.startsWith("PUTFILE"))
        answer = "NOP";
    if (s.Exchange && s.LastCommand.startsWith("GETDATA"))
        answer = "NOP";
    if (s.Exchange && s.LastCommand.startsWith("RMVDATA")) {
        answer = "PUTFILE" + number(s.FileNo) + "\r";
        s.LastCommand = answer;
    }
}

void Collector::refusalStep(QByteArray &answer, int n)
{
    ChannelState &s = m_state[n];
    if (s.LastCommand.startsWith("GETDATA")) {
        if (s.FileNo > 1)
            --s.FileNo;
        s.Exchange = false;
        answer = NAK;
        // Nothing to collect: the request has ended.
        endRequest(n, QStringLiteral("3"),
                   QStringLiteral("Channel %1: the terminal refused %2; the requested collection ends.")
                       .arg(n)
                       .arg(QString::fromLatin1(s.LastCommand)));
    }
    if (s.LastCommand.startsWith("PUTFILE") || s.LastCommand.startsWith("putfile")) {
        if (s.FileNo < 5) {
            s.LastCommand.clear();
            ++s.FileNo;
            timerComAuto_Timer(n);
        } else {
            s.LastCommand.clear();
            s.FileNo = 1;
            s.Exchange = false;
            s.StepActive = true;
            s.StepStart = now();
        }
    }
}

void Collector::endOfDataStep(QByteArray &answer, int n)
{
    ChannelState &s = m_state[n];
    const QByteArray c = "RMVDATA" + number(s.FileNo) + "\r";
    s.LastCommand = c;
    answer = ACK + c;
    endRequest(n, QStringLiteral("3"), QString());
    if (m_settings.DBMS[n].Policy == QLatin1String("NewFile"))
        m_recordStore->EndTransfer(n);
}

void Collector::lookupFileStep(QByteArray &line, QByteArray &answer, int n)
{
    ChannelState &s = m_state[n];
    if (line.size() > 7 && line.startsWith("GETFILE")) {
        s.LastCommand = "putfile";
        s.FileIndex = qBound(0, static_cast<int>(NumericValue(QString::fromLatin1(line.mid(7)))), 5);
        line = "GETFILE";
        // A new sending starts from the first line of a freshly read file.
        m_lookup[n]->close();
        s.LineNo = 1;
        s.FileEnd = false;
        s.LookupAtEnd = false;
        // A refusal of the opening is answered with the opening, never with
        // a line of an earlier sending.
        s.PrevLine = ACK + "BOF";
        m_articles->Reset(n);
    }
    if (line == "GETFILE") {
        answer = ACK + "BOF\r";
        return;
    }
    if (line == ACK) {
        if (s.FileEnd) {
            const int k = s.FileIndex;
            const ExtFileSettings ext = k >= 1 ? m_settings.ExtFile[k] : ExtFileSettings{};
            if (k >= 1 && !IsZucchettiOn(ext.IsZucchetti)) {
                s.AckWait = false;
                m_lookup[n]->close();
                // Only a file whose every line went out is deleted.
                if (DelAfterSendOn(ext.DelAfterSend) && s.LookupAtEnd) {
                    const QString name = m_store.read(ExtFileSection(k), QStringLiteral("Name"),
                                                      Paths::dataFile(QStringLiteral("toTerm.txt")));
                    if (QFile::exists(name))
                        QFile::remove(name);
                }
            }
            answer.clear();
            s.SendingFile = false;
            s.FileEnd = false;
            if (s.Exchange) {
                QByteArray ack = ACK;
                LineDispatcher(ack, answer, n);
            }
            return;
        }
        s.NextLine = nextLookupLine(n);
        ++s.LineNo;
        answer = s.NextLine + "\r";
        s.PrevLine = s.NextLine;
        return;
    }
    // A refused line, or anything else: the last line again.
    answer = s.PrevLine + "\r";
}

// The line LineNo of the requested look-up file with its check characters,
// or "EOF" after the last one.
QByteArray Collector::nextLookupLine(int n)
{
    ChannelState &s = m_state[n];
    const int k = s.FileIndex;
    const bool erp = k < 1 || IsZucchettiOn(m_settings.ExtFile[k].IsZucchetti);
    if (erp) {
        // Look-up file 0 has no settings of its own: nothing to send.
        if (k < 1)
            return "EOF";
        // The name is read afresh, as for a plain file: another program may
        // have changed it since start-up.
        const QString name = m_store.read(ExtFileSection(k), QStringLiteral("Name"), m_settings.ExtFile[k].Name);
        return m_articles->ArticleLine(name, s.LineNo, n);
    }
    const QString section = ExtFileSection(k);
    const int maxLength = LookupLineLength(m_store.read(section, QStringLiteral("MaxLenght"), QStringLiteral("0")));
    const QString name = m_store.read(section, QStringLiteral("Name"), Paths::dataFile(QStringLiteral("toTerm.txt")));
    LookupFile &file = *m_lookup[n];
    if (!file.isOpen() || file.path() != name) {
        if (!file.open(name))
            return "EOF";
    }
    QByteArray text;
    if (!file.line(s.LineNo, &text)) {
        // "EOF" after a read that failed midway is not the end of the file.
        s.LookupAtEnd = file.complete() && file.lineCount() < s.LineNo;
        return "EOF";
    }
    if (maxLength > 0) {
        if (text.size() > maxLength)
            text.truncate(maxLength);
        else
            text += QByteArray(maxLength - text.size(), ' ');
    }
    return text + XorChecksum(text);
}

} // namespace vx

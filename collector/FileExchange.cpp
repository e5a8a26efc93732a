// The look-up files sent line by line on GETFILE: what the protocol asks
// for is read here.
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

// The sending of look-up file FileIndex ended with the terminal's ACK of
// its "EOF": the file is let go, and deleted when its settings ask for it
// and every line of it went out.
void Collector::endLookup(int n, bool atEnd)
{
    const int k = m_protocol[n].state().FileIndex;
    const ExtFileSettings ext = k >= 1 ? m_settings.ExtFile[k] : ExtFileSettings{};
    if (k < 1 || IsZucchettiOn(ext.IsZucchetti))
        return;
    m_lookup[n]->close();
    if (DelAfterSendOn(ext.DelAfterSend) && atEnd) {
        const QString name =
            m_store.read(ExtFileSection(k), QStringLiteral("Name"), Paths::dataFile(QStringLiteral("toTerm.txt")));
        if (QFile::exists(name))
            QFile::remove(name);
    }
}

// The line LineNo of the requested look-up file with its check characters,
// or "EOF" after the last one.
QByteArray Collector::nextLookupLine(int n)
{
    ChannelState &s = m_protocol[n].state();
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

#include "platform/JournalStream.h"

#include <QList>
#include <sys/stat.h>
#include <unistd.h>

namespace vx::Journal {

bool IsJournalStream(const QByteArray &journalStream, int fd)
{
    const QList<QByteArray> parts = journalStream.trimmed().split(':');
    if (parts.size() != 2)
        return false;
    bool devOk = false;
    bool inoOk = false;
    const qulonglong device = parts.at(0).toULongLong(&devOk);
    const qulonglong inode = parts.at(1).toULongLong(&inoOk);
    if (!devOk || !inoOk)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    return qulonglong(st.st_dev) == device && qulonglong(st.st_ino) == inode;
}

bool StdoutIsJournal()
{
    return IsJournalStream(qgetenv("JOURNAL_STREAM"), STDOUT_FILENO);
}

const char *PriorityPrefix(QByteArrayView logEntry)
{
    if (logEntry.startsWith("[error]"))
        return "<3>";
    if (logEntry.startsWith("[warning]"))
        return "<4>";
    return "<6>";
}

} // namespace vx::Journal

#include "collector/LookupFile.h"

namespace vx {

bool LookupFile::open(const QString &path)
{
    close();
    m_path = path;
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly))
        return false;
    m_starts.assign(1, 0);
    m_complete = false;
    return true;
}

void LookupFile::close()
{
    if (m_file.isOpen())
        m_file.close();
    m_starts.clear();
    m_complete = false;
    m_path.clear();
}

// Makes sure the start of line lineNo + 1 is known (or the file ended).
bool LookupFile::scanTo(int lineNo)
{
    while (!m_complete && static_cast<int>(m_starts.size()) <= lineNo) {
        if (!m_file.seek(m_starts.back()))
            return false;
        const QByteArray text = m_file.readLine();
        if (text.isEmpty()) {
            m_complete = true;
            break;
        }
        m_starts.push_back(m_starts.back() + text.size());
        if (!text.endsWith('\n'))
            m_complete = true;
    }
    return true;
}

bool LookupFile::line(int lineNo, QByteArray *text)
{
    if (!m_file.isOpen() || lineNo < 1 || !scanTo(lineNo))
        return false;
    if (static_cast<int>(m_starts.size()) <= lineNo)
        return false; // the file has fewer lines
    const qint64 start = m_starts[lineNo - 1];
    const qint64 end = m_starts[lineNo];
    if (end <= start || !m_file.seek(start))
        return false;
    QByteArray bytes = m_file.read(end - start);
    if (bytes.endsWith('\n'))
        bytes.chop(1);
    if (bytes.endsWith('\r'))
        bytes.chop(1);
    *text = bytes;
    return true;
}

} // namespace vx

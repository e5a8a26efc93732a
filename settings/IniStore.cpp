#include "settings/IniStore.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx {

namespace {

bool fileStamp(const QString &path, qint64 *ns, qint64 *size)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    *ns = static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    *size = static_cast<qint64>(st.st_size);
    return true;
}

QByteArray keyOf(const QByteArray &line)
{
    const int eq = line.indexOf('=');
    return eq < 0 ? QByteArray() : line.left(eq).trimmed();
}

// Reads the settings file; the text of what is wrong with it, or empty.
// Never waits (a FIFO in its place) and never reads more than a settings
// file can sensibly hold (a link to a device).
const QByteArray kByteOrderMark = QByteArrayLiteral("\xEF\xBB\xBF");

QString readSettingsFile(const QString &path, QByteArray *content, bool *mark)
{
    const QString head = QStringLiteral("The settings file %1 ").arg(path);
    const QByteArray native = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return head + QStringLiteral("cannot be read: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    struct stat st {};
    QString problem;
    if (::fstat(fd, &st) != 0) {
        problem = QStringLiteral("cannot be read: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    } else if (!S_ISREG(st.st_mode)) {
        problem = QStringLiteral("cannot be read: it is not a regular file");
    } else if (st.st_size > IniStore::kMaxFileBytes) {
        problem = QStringLiteral("cannot be read: it is larger than %1 bytes").arg(IniStore::kMaxFileBytes);
    } else {
        content->resize(qsizetype(st.st_size) + 1);
        qsizetype got = 0;
        while (got < content->size()) {
            const ssize_t n = ::read(fd, content->data() + got, size_t(content->size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                problem = QStringLiteral("cannot be read: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
                break;
            }
            if (n == 0)
                break;
            got += n;
        }
        content->truncate(got);
        if (problem.isEmpty() && got > IniStore::kMaxFileBytes)
            problem = QStringLiteral("cannot be read: it is larger than %1 bytes").arg(IniStore::kMaxFileBytes);
    }
    ::close(fd);
    if (!problem.isEmpty())
        return head + problem;
    // A UTF-8 byte-order mark (editors on other systems write one) is no
    // part of the first line: read past it.
    *mark = content->startsWith(kByteOrderMark);
    if (*mark)
        content->remove(0, 3);
    // Something but no section: nothing in it could ever be found. (A
    // damaged file that still has sections loads what it can.)
    bool section = false;
    bool other = false;
    for (const QByteArray &raw : content->split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[') && line.endsWith(']') && line.size() >= 2)
            section = true;
        else if (!line.isEmpty() && !line.startsWith(';') && !line.startsWith('#'))
            other = true;
    }
    if (other && !section)
        return head
               + (content->contains('\0') ? QStringLiteral("does not parse: it holds binary data, no [Section] line")
                                          : QStringLiteral("does not parse: it has no [Section] line"));
    return {};
}

bool sameName(const QByteArray &stored, const QString &wanted)
{
    return QString::fromUtf8(stored).compare(wanted.trimmed(), Qt::CaseInsensitive) == 0;
}

} // namespace

IniStore::IniStore(QString path) : m_path(std::move(path))
{
    reloadIfChanged();
}

void IniStore::reloadIfChanged() const
{
    // Unsaved writes of an open batch win over the file (but not over a
    // repaired file: while the file was unusable nothing could be saved).
    if (m_dirty && m_problem.isEmpty())
        return;
    qint64 ns = -1;
    qint64 size = -1;
    if (!fileStamp(m_path, &ns, &size)) {
        // No file (yet): keep what is in memory; saving makes one.
        m_problem.clear();
        return;
    }
    if (ns == m_stampNs && size == m_stampSize)
        return;
    m_stampNs = ns;
    m_stampSize = size;
    QByteArray content;
    bool mark = false;
    const QString problem = readSettingsFile(m_path, &content, &mark);
    if (!problem.isEmpty()) {
        // The program reports the state it starts with; later changes of
        // the file are noted here.
        if (problem != m_problem && m_stampRead)
            qWarning().noquote() << problem;
        m_stampRead = true;
        m_problem = problem;
        return;
    }
    m_problem.clear();
    m_stampRead = true;
    m_byteOrderMark = mark;
    parse(content);
}

void IniStore::parse(const QByteArray &content) const
{
    m_sections.clear();
    m_sections.push_back(Section{});
    const QList<QByteArray> lines = content.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray raw = lines.at(i);
        if (i == lines.size() - 1 && raw.isEmpty())
            break; // the final line end
        if (raw.endsWith('\r'))
            raw.chop(1);
        const QByteArray trimmed = raw.trimmed();
        if (trimmed.startsWith('[') && trimmed.endsWith(']') && trimmed.size() >= 2) {
            Section s;
            s.header = raw;
            s.name = QString::fromUtf8(trimmed.mid(1, trimmed.size() - 2)).trimmed();
            m_sections.push_back(std::move(s));
            continue;
        }
        Line line;
        line.raw = raw;
        const QByteArray key = keyOf(raw);
        // A key line needs a name; comments and junk stay plain lines.
        if (!key.isEmpty() && !key.startsWith(';') && !key.startsWith('#') && !key.startsWith('[')) {
            line.key = key;
            line.isKey = true;
        }
        m_sections.back().lines.push_back(std::move(line));
    }
}

const IniStore::Section *IniStore::findSection(const QString &name) const
{
    for (std::size_t i = 1; i < m_sections.size(); ++i)
        if (m_sections[i].name.compare(name.trimmed(), Qt::CaseInsensitive) == 0)
            return &m_sections[i];
    return nullptr;
}

IniStore::Section *IniStore::findSection(const QString &name)
{
    return const_cast<Section *>(static_cast<const IniStore *>(this)->findSection(name));
}

const IniStore::Line *IniStore::findKey(const Section &s, const QString &key)
{
    for (const Line &line : s.lines)
        if (line.isKey && sameName(line.key, key))
            return &line;
    return nullptr;
}

IniStore::Line *IniStore::findKey(Section &s, const QString &key)
{
    return const_cast<Line *>(findKey(static_cast<const Section &>(s), key));
}

QString IniStore::read(const QString &section, const QString &key, const QString &defaultValue) const
{
    reloadIfChanged();
    const Section *s = findSection(section);
    if (!s)
        return defaultValue;
    const Line *line = findKey(*s, key);
    if (!line)
        return defaultValue;
    return QString::fromUtf8(line->raw.mid(line->raw.indexOf('=') + 1));
}

bool IniStore::contains(const QString &section, const QString &key) const
{
    reloadIfChanged();
    const Section *s = findSection(section);
    return s && findKey(*s, key);
}

void IniStore::write(const QString &section, const QString &key, const QString &value)
{
    reloadIfChanged();
    if (m_sections.empty())
        m_sections.push_back(Section{});
    Section *s = findSection(section);
    if (!s) {
        Section fresh;
        fresh.name = section.trimmed();
        fresh.header = '[' + fresh.name.toUtf8() + ']';
        m_sections.push_back(std::move(fresh));
        s = &m_sections.back();
    }
    // A value never holds a line end: it would split the line.
    QByteArray bytes = value.toUtf8();
    bytes.replace('\r', ' ').replace('\n', ' ');
    if (Line *line = findKey(*s, key)) {
        const int eq = line->raw.indexOf('=');
        // An unchanged value keeps its bytes as they were (text that is not
        // UTF-8 included), and nothing needs saving.
        const QByteArray old = line->raw.mid(eq + 1);
        if (!old.contains('\r') && QString::fromUtf8(old) == value)
            return;
        line->raw = line->raw.left(eq + 1) + bytes;
    } else {
        Line fresh;
        fresh.key = key.trimmed().toUtf8();
        fresh.raw = fresh.key + '=' + bytes;
        fresh.isKey = true;
        // After the section's last key line, so trailing blank lines and
        // comments stay where they were.
        auto at = s->lines.end();
        for (auto it = s->lines.begin(); it != s->lines.end(); ++it)
            if (it->isKey)
                at = it + 1;
        if (at == s->lines.end() || s->lines.empty())
            s->lines.push_back(std::move(fresh));
        else
            s->lines.insert(at, std::move(fresh));
    }
    m_dirty = true;
    if (m_batch == 0)
        save();
}

void IniStore::beginBatch()
{
    reloadIfChanged();
    ++m_batch;
}

bool IniStore::endBatch()
{
    if (m_batch > 0 && --m_batch == 0 && m_dirty)
        return save();
    return true;
}

bool IniStore::save()
{
    reloadIfChanged();
    if (!m_problem.isEmpty()) {
        // The file stays as it is: it may be someone's work in progress.
        m_error = m_problem + QStringLiteral("; it is left untouched and nothing is saved");
        return false;
    }
    // A mark the file had is kept: the editor that wrote it expects it.
    QByteArray out = m_byteOrderMark ? kByteOrderMark : QByteArray();
    for (std::size_t i = 0; i < m_sections.size(); ++i) {
        const Section &s = m_sections[i];
        if (i > 0)
            out += s.header + '\n';
        for (const Line &line : s.lines)
            out += line.raw + '\n';
    }
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly)) {
        m_error = file.errorString();
        qWarning().noquote() << QStringLiteral("The settings file %1 cannot be written: %2").arg(m_path, m_error);
        return false;
    }
    ::fchmod(file.handle(), 0600);
    file.write(out);
    file.flush();
    ::fsync(file.handle());
    if (!file.commit()) {
        m_error = file.errorString();
        qWarning().noquote() << QStringLiteral("The settings file %1 cannot be written: %2").arg(m_path, m_error);
        return false;
    }
    m_error.clear();
    m_dirty = false;
    fileStamp(m_path, &m_stampNs, &m_stampSize);
    return true;
}

QStringList IniStore::linesWithoutKey() const
{
    reloadIfChanged();
    QStringList found;
    for (const Section &s : m_sections) {
        for (const Line &line : s.lines) {
            const QByteArray text = line.raw.trimmed();
            if (!line.isKey && !text.isEmpty() && !text.startsWith(';') && !text.startsWith('#'))
                found << QString::fromUtf8(s.header.trimmed() + ' ' + text).trimmed();
        }
    }
    return found;
}

int IniStore::keyCount() const
{
    reloadIfChanged();
    int count = 0;
    for (std::size_t i = 1; i < m_sections.size(); ++i)
        for (const Line &line : m_sections[i].lines)
            count += line.isKey ? 1 : 0;
    return count;
}

} // namespace vx

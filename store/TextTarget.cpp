#include "store/TextTarget.h"

#include "platform/Clock.h"
#include "platform/FileChecks.h"
#include "platform/FileLock.h"
#include "store/RecordText.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace vx {

namespace {

QString ErrorOf(const QString &path, int error)
{
    return QStringLiteral("%1: %2").arg(path, ErrnoText(error));
}

// Writes bytes at the end of fd (opened for appending, under the target's
// lock). A line is written whole or not at all: when a write fails or stops
// short (a full disk), what of it reached the file is cut off again, so a
// resent record is never glued to a fragment of itself.
bool WriteWhole(int fd, const QString &path, const QByteArray &bytes, QString *error)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, p, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            *error = ErrorOf(path, written == 0 ? ENOSPC : errno);
            struct stat st {};
            if (left != bytes.size()
                && (::fstat(fd, &st) != 0 || ::ftruncate(fd, st.st_size - (bytes.size() - left)) != 0))
                *error += QStringLiteral("; a part of the record stays in the file: %1").arg(ErrnoText(errno));
            return false;
        }
        p += written;
        left -= written;
    }
    return true;
}

// Writes bytes to fd (opened for appending) under the target's lock and
// closes it; on failure the file is as it was (see WriteWhole). wrote(fd)
// runs once the bytes are written, before the descriptor is let go.
bool WriteAndClose(int fd, const QString &path, const QByteArray &bytes, QString *error,
                   const std::function<void(int)> &wrote)
{
    // Writers of the same file elsewhere (collectors of other homes on a
    // shared folder) take turns by whole rows; closing lets go.
    QString why;
    if (!FileLock::LockExclusive(fd, 2000, &why)) {
        *error = QStringLiteral("%1: %2").arg(path, why);
        ::close(fd);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *error = ErrorOf(path, errno);
        ::close(fd);
        return false;
    }
    const off_t before = st.st_size;
    if (!WriteWhole(fd, path, bytes, error)) {
        ::close(fd);
        return false;
    }
    wrote(fd);
    if (::close(fd) < 0 && errno != EINTR) {
        // The line may not have reached the file: it is taken back.
        *error = ErrorOf(path, errno);
        if (::truncate(QFile::encodeName(path).constData(), before) != 0)
            *error += QStringLiteral("; a part of the record may stay in the file: %1").arg(ErrnoText(errno));
        return false;
    }
    return true;
}

// Appends bytes at the end of the file (created when missing) and closes it.
bool AppendToFile(const QString &path, const QByteArray &bytes, QString *error, const std::function<void(int)> &wrote)
{
    const int fd = OpenRegular(path, O_WRONLY | O_APPEND | O_CREAT);
    if (fd < 0) {
        *error = ErrorOf(path, errno);
        return false;
    }
    return WriteAndClose(fd, path, bytes, error, wrote);
}

} // namespace

TextTarget::TextTarget(const TargetContext &context, Kind kind, QByteArray separator)
    : RecordTarget(context), m_kind(kind), m_separator(std::move(separator))
{
    if (m_kind == Kind::Csv)
        FixSeparator();
}

TextTarget::~TextTarget()
{
    Release();
}

QByteArray TextTarget::CsvSeparator(const QString &sepCode)
{
    if (sepCode == QLatin1String("None"))
        return {};
    return sepCode == QLatin1String("Space") ? QByteArray(" ") : sepCode.toLatin1();
}

void TextTarget::Release()
{
    if (m_fd >= 0 && ::close(m_fd) != 0 && errno != EINTR)
        Log(QStringLiteral("Cannot close %1: %2").arg(m_path, ErrnoText(errno)));
    m_watch.Clear();
    m_fd = -1;
    m_locked = false;
    m_path.clear();
    m_noted = false;
}

void TextTarget::LetGo(const QString &path)
{
    if (m_fd >= 0 && m_path == path)
        Release();
}

bool TextTarget::ReleaseIdle(qint64 now)
{
    if (m_fd < 0)
        return false;
    if (now - m_lastUseMs < HoldIdleMs)
        return true;
    Release();
    return false;
}

bool TextTarget::Line(const QByteArray &record, QByteArray *line) const
{
    if (m_kind == Kind::Txt && Host().Exchange() && Host().Exchange()->ExchangeActive())
        return false;
    if (Name().isEmpty())
        return false;
    if (!m_separator.isEmpty() && record.contains(m_separator)) {
        *line = ReplaceAll(record, m_separator, ",");
        *line += "\r\n";
    } else {
        // Into the room the line had before (no allocation per record).
        const qsizetype size = record.size();
        line->resize(size + 2);
        char *p = line->data();
        std::memcpy(p, record.constData(), size_t(size));
        p[size] = '\r';
        p[size + 1] = '\n';
    }
    return true;
}

// The usual case: the file is there and can be read and appended to. One
// opening for reading and appending stands in for the checks of SetDB and
// Writable (file there, readable, appendable), which all pass when it
// succeeds; when it fails, nothing was written and the full path runs with
// its messages. The file is then held for the channel's next records.
RecordTarget::Result TextTarget::StoreOpening(const QByteArray &record)
{
    Release();
    QByteArray line;
    if (!Line(record, &line))
        return Result::NotTaken;
    const int fd = OpenRegular(Name(), O_RDWR | O_APPEND);
    if (fd < 0)
        return Result::NotTaken; // the full path says why
    // One holder per file in this program: locks of two descriptors of the
    // same file exclude each other.
    Host().ReleaseFile(Name());
    // Writers of the same file elsewhere (collectors of other homes on a
    // shared folder) take turns; closing lets go.
    QString why;
    if (!FileLock::LockExclusive(fd, 2000, &why)) {
        ::close(fd);
        // A failed write is final, as on the full path: the record is refused.
        Problem(QStringLiteral("Record not written: %1: %2").arg(Name(), why));
        return Result::Refused;
    }
    m_fd = fd;
    m_locked = true;
    m_path = Name();
    m_watch.Watch(m_path, fd);
    m_lockedAtMs = MonotonicMs();
    return WriteHeld(line);
}

// The next record of a channel that holds its file: written when the path
// still names the file held (a regular file, not replaced or removed
// meanwhile); otherwise the file is let go and NotTaken says to open it
// afresh.
RecordTarget::Result TextTarget::StoreHeld(const QByteArray &record)
{
    if (m_fd < 0)
        return Result::NotTaken;
    if (m_path != Name() || !Line(record, &m_line)) {
        Release();
        return Result::NotTaken;
    }
    if (!m_locked) {
        // Let go after being held long: taken again, as at an opening.
        QString why;
        if (!FileLock::LockExclusive(m_fd, 2000, &why)) {
            Release();
            Problem(QStringLiteral("Record not written: %1: %2").arg(Name(), why));
            return Result::Refused;
        }
        m_locked = true;
        m_lockedAtMs = MonotonicMs();
    }
    if (!m_watch.Same()) {
        Release();
        return Result::NotTaken;
    }
    return WriteHeld(m_line);
}

RecordTarget::Result TextTarget::WriteHeld(const QByteArray &line)
{
    QString error;
    if (!WriteWhole(m_fd, m_path, line, &error)) {
        Release();
        Problem(QStringLiteral("Record not written: %1").arg(error));
        return Result::Refused;
    }
    if (!m_noted) {
        Host().Written(Channel(), m_path, m_fd);
        m_noted = true;
    }
    const qint64 now = MonotonicMs();
    m_lastUseMs = now;
    if (now - m_lockedAtMs >= HoldLongestMs) {
        // Held long: the lock goes, so that another writer gets its turn.
        // The file stays open (and watched) for the channel's next record,
        // which takes the lock again, until the channel is quiet.
        FileLock::Unlock(m_fd);
        m_locked = false;
    }
    Host().HoldIdle();
    return Result::Stored;
}

bool TextTarget::Store(const QByteArray &record)
{
    switch (m_kind) {
    case Kind::Txt: {
        QString path = Name();
        ExchangeFiles *exchange = Host().Exchange();
        if (exchange && exchange->ExchangeActive()) {
            const QString file = exchange->ExchangeFile(Channel());
            if (!file.isEmpty())
                path = file;
        }
        // CanOpenForAppend refuses a FIFO or a device without opening it.
        QString why;
        if (path != Name() && !CanOpenForAppend(path, &why)) {
            Host().NotAvailable(Channel(), path, why);
            return false;
        }
        return AppendLine(path, record);
    }
    case Kind::Csv:
        return AppendLine(Name(), ReplaceAll(record, m_separator, ","));
    case Kind::Other:
        break;
    }
    return AppendLine(Name(), record);
}

bool TextTarget::AppendLine(const QString &path, const QByteArray &text)
{
    Host().ReleaseFile(path);
    QString error;
    const auto wrote = [&](int fd) { Host().Written(Channel(), path, fd); };
    if (!AppendToFile(path, text + "\r\n", &error, wrote)) {
        Problem(QStringLiteral("Record not written: %1").arg(error));
        return false;
    }
    return true;
}

} // namespace vx

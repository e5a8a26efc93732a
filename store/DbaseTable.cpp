#include "store/DbaseTable.h"

#include <QDate>
#include <QFile>

#include "platform/Clock.h"
#include "platform/FileLock.h"
#include "store/RecordText.h"
#include <cerrno>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <shapefil.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx {

namespace {

// How long a row waits for another writer of the table.
constexpr int kRowLockWaitMs = 2000;

// shapelib derives the names it opens from the one it is given (".dbf",
// ".DBF", ".cpg", ".CPG" after the base name). These hooks open the one
// file we mean whatever name shapelib asks for, refuse every code-page
// side file and never remove anything.
thread_local const char *t_path = nullptr;
thread_local QString *t_error = nullptr;

// Today's date as the header holds it (years since 1900, month, day),
// looked up at most once a second: finding the local date makes the C
// library look at the time zone file every time, and its parts are worked
// out only then, not at every row.
struct HeaderDate {
    unsigned char bytes[3];
};
HeaderDate Today()
{
    static HeaderDate date{};
    static qint64 when = -1;
    const qint64 ms = MonotonicMs();
    if (when < 0 || ms - when >= 1000) {
        int year = 0, month = 0, day = 0;
        QDate::currentDate().getDate(&year, &month, &day);
        date = {{static_cast<unsigned char>(year - 1900), static_cast<unsigned char>(month),
                 static_cast<unsigned char>(day)}};
        when = ms;
    }
    return date;
}

bool IsCodePageName(const char *name)
{
    const std::size_t len = std::strlen(name);
    return len >= 4 && (std::strcmp(name + len - 4, ".cpg") == 0 || std::strcmp(name + len - 4, ".CPG") == 0);
}

SAFile HookOpen(const char *name, const char *access)
{
    if (!t_path || IsCodePageName(name))
        return nullptr;
    return reinterpret_cast<SAFile>(std::fopen(t_path, access));
}

SAOffset HookRead(void *p, SAOffset size, SAOffset count, SAFile file)
{
    return std::fread(p, size, count, reinterpret_cast<FILE *>(file));
}

SAOffset HookWrite(void *p, SAOffset size, SAOffset count, SAFile file)
{
    return std::fwrite(p, size, count, reinterpret_cast<FILE *>(file));
}

SAOffset HookSeek(SAFile file, SAOffset offset, int whence)
{
    return static_cast<SAOffset>(std::fseek(reinterpret_cast<FILE *>(file), static_cast<long>(offset), whence));
}

SAOffset HookTell(SAFile file)
{
    return static_cast<SAOffset>(std::ftell(reinterpret_cast<FILE *>(file)));
}

int HookFlush(SAFile file)
{
    return std::fflush(reinterpret_cast<FILE *>(file));
}

int HookClose(SAFile file)
{
    return std::fclose(reinterpret_cast<FILE *>(file));
}

int HookRemove(const char *)
{
    return 0;
}

void HookError(const char *message)
{
    if (t_error)
        *t_error = QString::fromLocal8Bit(message);
}

double HookAtof(const char *text)
{
    return std::atof(text);
}

SAHooks ExactPathHooks()
{
    SAHooks hooks;
    SASetupDefaultHooks(&hooks);
    hooks.FOpen = HookOpen;
    hooks.FRead = HookRead;
    hooks.FWrite = HookWrite;
    hooks.FSeek = HookSeek;
    hooks.FTell = HookTell;
    hooks.FFlush = HookFlush;
    hooks.FClose = HookClose;
    hooks.Remove = HookRemove;
    hooks.Error = HookError;
    hooks.Atof = HookAtof;
    return hooks;
}

// Sets the exact path (and the error sink) for the duration of one shapelib
// call that opens files.
class PathScope {
public:
    PathScope(const QByteArray &path, QString *error)
    {
        t_path = path.constData();
        t_error = error;
    }
    ~PathScope()
    {
        t_path = nullptr;
        t_error = nullptr;
    }
};

QString SystemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Whole reads and writes at an offset; false with errno set on failure (a
// write that stops short counts as a failure).
bool ReadAt(int fd, void *data, qint64 size, off_t offset)
{
    auto *p = static_cast<char *>(data);
    while (size > 0) {
        const ssize_t got = ::pread(fd, p, static_cast<size_t>(size), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                errno = EIO;
            return false;
        }
        p += got;
        size -= got;
        offset += got;
    }
    return true;
}

bool WriteAt(int fd, const void *data, qint64 size, off_t offset)
{
    const auto *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t put = ::pwrite(fd, p, static_cast<size_t>(size), offset);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            if (put == 0)
                errno = ENOSPC;
            return false;
        }
        p += put;
        size -= put;
        offset += put;
    }
    return true;
}

void StampToday(DBFHandle handle)
{
    const HeaderDate today = Today();
    DBFSetLastModifiedDate(handle, today.bytes[0], today.bytes[1], today.bytes[2]);
}

} // namespace

DbaseTable::~DbaseTable()
{
    Close();
}

bool DbaseTable::Create(const QString &path, QString *error)
{
    QString ignored;
    QString &err = error ? *error : ignored;
    err.clear();
    QFile::remove(path);
    const QByteArray native = QFile::encodeName(path);
    PathScope scope(native, &err);
    SAHooks hooks = ExactPathHooks();
    DBFHandle handle = DBFCreateLL(native.constData(), "LDID/87", &hooks);
    if (!handle) {
        if (err.isEmpty())
            err = QStringLiteral("cannot create %1").arg(path);
        return false;
    }
    StampToday(handle);
    bool ok = true;
    for (int i = 0; i < TargetLayout::ColumnCount && ok; ++i)
        ok = DBFAddField(handle, TargetLayout::ColumnName(i).constData(), FTString, TargetLayout::ColumnWidth(i), 0)
             == i;
    DBFClose(handle);
    if (!ok) {
        if (err.isEmpty())
            err = QStringLiteral("cannot add the columns to %1").arg(path);
        QFile::remove(path);
    }
    return ok;
}

bool DbaseTable::Open(const QString &path)
{
    Close();
    m_error.clear();
    m_path = path;
    const QByteArray native = QFile::encodeName(path);
    // Rows go through this descriptor; it is never a FIFO or a device.
    int fd;
    do {
        fd = ::open(native.constData(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        m_error = QStringLiteral("%1: %2").arg(path, SystemError(errno));
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        m_error = QStringLiteral("%1 is not a regular file").arg(path);
        return false;
    }

    // The column layout, as shapelib reads it.
    PathScope scope(native, &m_error);
    SAHooks hooks = ExactPathHooks();
    DBFHandle handle = DBFOpenLL(native.constData(), "rb", &hooks);
    if (!handle) {
        ::close(fd);
        if (m_error.isEmpty())
            m_error = QStringLiteral("%1 is not a dBase table that can be written").arg(path);
        return false;
    }
    for (int i = 0; i < TargetLayout::ColumnCount; ++i) {
        const int index = DBFGetFieldIndex(handle, TargetLayout::ColumnName(i).constData());
        int width = 0;
        if (index < 0 || DBFGetFieldInfo(handle, index, nullptr, &width, nullptr) != FTString) {
            m_error =
                QStringLiteral("%1 has no text column %2").arg(path, QString::fromLatin1(TargetLayout::ColumnName(i)));
            DBFClose(handle);
            ::close(fd);
            return false;
        }
        m_offsets[i] = handle->panFieldOffset[index];
        m_widths[i] = width;
    }
    m_headerLength = handle->nHeaderLength;
    m_recordLength = handle->nRecordLength;
    DBFClose(handle);
    m_fd = fd;
    m_watch.Watch(path, fd);
    m_header.Map(fd, sizeof m_head);
    return true;
}

bool DbaseTable::Fail(const QString &what, int error)
{
    m_error = QStringLiteral("%1 %2: %3").arg(what, m_path, SystemError(error));
    return false;
}

bool DbaseTable::AppendRow(const TargetRow &row)
{
    if (m_fd < 0) {
        m_error = QStringLiteral("no table is open");
        return false;
    }
    m_error.clear();
    for (int i = 0; i < TargetLayout::ColumnCount; ++i) {
        if (row[i].size() > m_widths[i]) {
            m_error = QStringLiteral("%1 does not fit column %2 of %3")
                          .arg(FromWindows1252(row[i]), QString::fromLatin1(TargetLayout::ColumnName(i)), m_path);
            return false;
        }
    }

    // The header as it is now: another program may have added rows since
    // the table was opened (unless this table's lock was held all along
    // and the file is as the last row left it).
    const bool known = m_known && m_locked;
    m_known = false;
    unsigned char head[12];
    quint32 count = m_count;
    qint64 oldSize = m_size;
    if (known) {
        std::memcpy(head, m_head, sizeof head);
    } else {
        if (!ReadAt(m_fd, head, sizeof head, 0))
            return Fail(QStringLiteral("cannot read the header of"), errno);
        count = quint32(head[4]) | quint32(head[5]) << 8 | quint32(head[6]) << 16 | quint32(head[7]) << 24;
        const int headerLength = head[8] | head[9] << 8;
        const int recordLength = head[10] | head[11] << 8;
        if (headerLength != m_headerLength || recordLength != m_recordLength) {
            m_error = QStringLiteral("the layout of %1 changed while it was open").arg(m_path);
            return false;
        }
        struct stat st {};
        if (::fstat(m_fd, &st) != 0)
            return Fail(QStringLiteral("cannot look at"), errno);
        oldSize = st.st_size;
    }
    const int recordLength = m_recordLength;
    const off_t at = off_t(m_headerLength) + off_t(count) * recordLength;
    if (oldSize < at) {
        m_error = QStringLiteral("%1 is shorter than its header says (%2 rows)").arg(m_path).arg(count);
        return false;
    }

    // The row, padded with blanks, and the end-of-file mark after it (made
    // in the same buffer row after row).
    QByteArray &bytes = m_rowBytes;
    if (bytes.size() != recordLength + 1)
        bytes.resize(recordLength + 1);
    char *out = bytes.data();
    std::memset(out, ' ', size_t(recordLength));
    out[recordLength] = '\x1A';
    for (int i = 0; i < TargetLayout::ColumnCount; ++i)
        if (!row[i].isEmpty())
            std::memcpy(out + m_offsets[i], row[i].constData(), static_cast<size_t>(row[i].size()));

    // What the row overwrites (usually the old end-of-file mark, which the
    // last row wrote when it is known), to put back when something fails.
    const qint64 overLength = qMin<qint64>(oldSize - at, bytes.size());
    static const char kEndMark = '\x1A';
    QByteArray overwritten;
    const char *over = &kEndMark;
    if (!known || overLength > 1) {
        overwritten = QByteArray(overLength, '\0');
        if (!ReadAt(m_fd, overwritten.data(), overLength, at))
            return Fail(QStringLiteral("cannot read the end of"), errno);
        over = overwritten.constData();
    }
    auto putBack = [&](const unsigned char *header) {
        const bool back = ::ftruncate(m_fd, oldSize) == 0 && WriteAt(m_fd, over, overLength, at)
                          && (!header || WriteAt(m_fd, header, 7, 1));
        if (!back)
            m_error += QStringLiteral("; the table could not be put back as it was: %1").arg(SystemError(errno));
    };

    if (!WriteAt(m_fd, bytes.constData(), bytes.size(), at)) {
        Fail(QStringLiteral("cannot write row %1 of").arg(count + 1), errno);
        putBack(nullptr);
        return false;
    }
    // The row is all there: now the header counts it.
    const HeaderDate today = Today();
    const quint32 newCount = count + 1;
    const unsigned char update[7] = {today.bytes[0],
                                     today.bytes[1],
                                     today.bytes[2],
                                     static_cast<unsigned char>(newCount & 0xFF),
                                     static_cast<unsigned char>(newCount >> 8 & 0xFF),
                                     static_cast<unsigned char>(newCount >> 16 & 0xFF),
                                     static_cast<unsigned char>(newCount >> 24 & 0xFF)};
    const bool mapped = m_header.Mapped();
    if (mapped ? !m_header.Put(1, update, sizeof update) : !WriteAt(m_fd, update, sizeof update, 1)) {
        const int error = errno;
        const QString what = QStringLiteral("cannot count row %1 in the header of").arg(newCount);
        if (mapped)
            m_error = QStringLiteral("%1 %2: the file no longer holds its header").arg(what, m_path);
        else
            Fail(what, error);
        putBack(head + 1);
        return false;
    }
    std::memcpy(m_head, head, sizeof head);
    std::memcpy(m_head + 1, update, sizeof update);
    m_count = newCount;
    m_size = qMax<qint64>(oldSize, at + bytes.size());
    m_known = m_locked;
    WriteBehind(at + recordLength);
    return true;
}

// A table's rows are wide (a kilobyte or more each), so a long transfer
// leaves tens of megabytes for the sync at its end, which the terminal
// waits for. Every few megabytes of rows the system is asked to start
// writing them out (without waiting for it), so that the sync before the
// EOF's answer finds most of them on the disk already. It changes nothing
// of what a sync guarantees.
void DbaseTable::WriteBehind(qint64 end)
{
    constexpr qint64 kBehindBytes = 2 * 1024 * 1024;
    if (end < m_writtenBehind)
        m_writtenBehind = m_headerLength; // the file was made shorter meanwhile
    const qint64 from = qMax<qint64>(m_writtenBehind, m_headerLength);
    if (end - from < kBehindBytes)
        return;
    // A failure here only leaves the work to the sync.
    ::sync_file_range(m_fd, from, end - from, SYNC_FILE_RANGE_WRITE);
    m_writtenBehind = end;
}

bool DbaseTable::SameAsLeft() const
{
    if (m_fd < 0 || !m_known)
        return false;
    qint64 size = -1;
    if (!m_watch.Same(&size))
        return false;
    // The length, when the path was not looked up: asked of the descriptor,
    // which needs no walk along the path.
    if (size < 0)
        size = ::lseek(m_fd, 0, SEEK_END);
    return size == m_size;
}

bool DbaseTable::LockRow(QString *error)
{
    if (m_fd < 0) {
        *error = QStringLiteral("no table is open");
        return false;
    }
    if (m_locked)
        return true;
    QString why;
    if (!FileLock::LockExclusive(m_fd, kRowLockWaitMs, &why)) {
        *error = QStringLiteral("%1: %2").arg(m_path, why);
        return false;
    }
    m_lockedAtMs = MonotonicMs();
    m_locked = true;
    m_known = false;
    return true;
}

void DbaseTable::UnlockRow()
{
    if (m_fd >= 0 && m_locked)
        FileLock::Unlock(m_fd);
    m_locked = false;
    m_known = false;
}

void DbaseTable::Close()
{
    m_header.Unmap();
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_watch.Clear();
    m_locked = false;
    m_known = false;
    m_writtenBehind = 0;
}

} // namespace vx

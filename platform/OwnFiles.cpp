#include "platform/OwnFiles.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx {

namespace {

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

int retryOpen(const QByteArray &native, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(native.constData(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The fd when it is a regular file; else closed, -1, and *why.
int keepRegular(int fd, QString *why)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        *why = errnoText(error);
        return -1;
    }
    const QString odd = NotRegularText(st.st_mode);
    if (!odd.isEmpty()) {
        ::close(fd);
        *why = odd;
        return -1;
    }
    return fd;
}

} // namespace

QString NotRegularText(mode_t mode)
{
    if (S_ISREG(mode))
        return {};
    if (S_ISFIFO(mode))
        return QStringLiteral("is a FIFO");
    if (S_ISDIR(mode))
        return QStringLiteral("is a folder");
    if (S_ISCHR(mode))
        return QStringLiteral("is a character device");
    if (S_ISBLK(mode))
        return QStringLiteral("is a block device");
    if (S_ISSOCK(mode))
        return QStringLiteral("is a socket");
    if (S_ISLNK(mode))
        return QStringLiteral("is a symbolic link");
    return QStringLiteral("is not a regular file");
}

QString SizeText(qint64 bytes)
{
    if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) == 0)
        return QStringLiteral("%1 MiB").arg(bytes / (1024 * 1024));
    if (bytes >= 1024 && bytes % 1024 == 0)
        return QStringLiteral("%1 KiB").arg(bytes / 1024);
    return QStringLiteral("%1 bytes").arg(bytes);
}

BoundedRead ReadRegularFile(const QString &path, qint64 maxBytes)
{
    BoundedRead r;
    if (path.isEmpty()) {
        r.error = QStringLiteral("no file name");
        return r;
    }
    const QByteArray native = QFile::encodeName(path);
    // Looked at before it is opened: opening a device can have effects of
    // its own.
    struct stat st {};
    if (::stat(native.constData(), &st) != 0) {
        r.errorNumber = errno;
        r.error = errnoText(r.errorNumber);
        return r;
    }
    r.error = NotRegularText(st.st_mode);
    if (!r.error.isEmpty())
        return r;
    const QString tooLarge = QStringLiteral("is larger than %1").arg(SizeText(maxBytes));
    if (st.st_size > maxBytes) {
        r.error = tooLarge;
        return r;
    }
    const int fd = retryOpen(native, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        r.errorNumber = errno;
        r.error = errnoText(r.errorNumber);
        return r;
    }
    QString why;
    if (keepRegular(fd, &why) < 0) { // replaced between the look and the open
        r.error = why;
        return r;
    }
    // One byte more than the limit tells a file that grew past it.
    QByteArray content(qsizetype(qMin<qint64>(st.st_size, maxBytes) + 1), Qt::Uninitialized);
    qint64 got = 0;
    for (;;) {
        if (got == content.size()) {
            if (got > maxBytes)
                break;
            content.resize(qsizetype(qMin<qint64>(maxBytes + 1, got * 2 + 4096)));
        }
        const ssize_t n = ::read(fd, content.data() + got, size_t(content.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            r.errorNumber = errno;
            r.error = errnoText(r.errorNumber);
            ::close(fd);
            return r;
        }
        if (n == 0)
            break;
        got += n;
    }
    ::close(fd);
    if (got > maxBytes) {
        r.error = tooLarge;
        return r;
    }
    content.resize(qsizetype(got));
    r.content = std::move(content);
    r.error.clear();
    r.ok = true;
    return r;
}

int OpenOwnFileForAppend(const QString &path, mode_t mode, QString *why)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd =
        retryOpen(native, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) {
        const int error = errno;
        // O_NOFOLLOW answers a link at the path with ELOOP, a FIFO without a
        // reader answers ENXIO, a folder EISDIR: said as what stands there.
        struct stat st {};
        if (::lstat(native.constData(), &st) == 0 && !S_ISREG(st.st_mode))
            *why = NotRegularText(st.st_mode);
        else
            *why = errnoText(error);
        return -1;
    }
    return keepRegular(fd, why);
}

int CreateOwnFile(const QString &path, mode_t mode, QString *why)
{
    const QByteArray native = QFile::encodeName(path);
    if (::unlink(native.constData()) != 0 && errno != ENOENT) {
        const int error = errno;
        struct stat st {};
        *why = error == EISDIR || (::lstat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode))
                   ? QStringLiteral("is a folder")
                   : errnoText(error);
        return -1;
    }
    const int fd = retryOpen(native, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) {
        *why = errnoText(errno);
        return -1;
    }
    return fd;
}

bool ReplaceFileWith(const QString &path, const QByteArray &content, mode_t mode, QString *why)
{
    const QFileInfo info(path);
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    QByteArray temp = QFile::encodeName(info.absoluteFilePath()) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        *why = errnoText(errno);
        return false;
    }
    auto fail = [&](int error) {
        ::close(fd);
        ::unlink(temp.constData());
        *why = errnoText(error);
        return false;
    };
    if (::fchmod(fd, mode) != 0)
        return fail(errno);
    if (!WriteAll(fd, content))
        return fail(errno ? errno : EIO);
    if (::fsync(fd) != 0)
        return fail(errno);
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temp.constData());
        *why = errnoText(error);
        return false;
    }
    if (::rename(temp.constData(), QFile::encodeName(info.absoluteFilePath()).constData()) != 0) {
        const int error = errno;
        ::unlink(temp.constData());
        *why = errnoText(error);
        return false;
    }
    // The rename itself is made durable by syncing the folder.
    const int dir = retryOpen(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

bool WriteAll(int fd, QByteArrayView content)
{
    const char *p = content.data();
    qint64 left = content.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

} // namespace vx

#include "platform/FileChecks.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace vx {

QString ErrnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString NotRegularFile(const QString &path)
{
    struct stat st {};
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &st) != 0 || S_ISREG(st.st_mode))
        return {};
    if (S_ISFIFO(st.st_mode))
        return QStringLiteral("a FIFO");
    if (S_ISCHR(st.st_mode))
        return QStringLiteral("a character device");
    if (S_ISBLK(st.st_mode))
        return QStringLiteral("a block device");
    if (S_ISSOCK(st.st_mode))
        return QStringLiteral("a socket");
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("a folder");
    return QStringLiteral("something other than a regular file");
}

// Opens path with flags, never blocking on a FIFO, and keeps the descriptor
// only when it is a regular file. -1 with errno set otherwise.
int OpenRegular(const QString &path, int flags)
{
    const QByteArray native = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(native.constData(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    return fd;
}

bool FileExists(const QString &path)
{
    if (path.isEmpty() || !NotRegularFile(path).isEmpty())
        return false;
    const int fd = OpenRegular(path, O_RDONLY);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool CanOpenForAppend(const QString &path, QString *why)
{
    if (path.isEmpty()) {
        if (why)
            *why = QStringLiteral("no file name");
        return false;
    }
    const QString odd = NotRegularFile(path);
    if (!odd.isEmpty()) {
        if (why)
            *why = QStringLiteral("it is %1, not a regular file").arg(odd);
        return false;
    }
    const int fd = OpenRegular(path, O_WRONLY | O_APPEND | O_CREAT);
    if (fd < 0) {
        if (why)
            *why = ErrnoText(errno);
        return false;
    }
    ::close(fd);
    return true;
}

bool SharedBeyondThisMachine(int fd)
{
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0)
        return true;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969UL:     // NFS
    case 0x517BUL:     // SMB
    case 0xFF534D42UL: // CIFS
    case 0xFE534D42UL: // SMB2
    case 0x65735546UL: // FUSE
    case 0x01021997UL: // 9P
    case 0x00C36400UL: // Ceph
    case 0x5346414FUL: // AFS
    case 0x73757245UL: // Coda
    case 0x7461636FUL: // OCFS2
    case 0x01161970UL: // GFS2
        return true;
    default:
        return false;
    }
}

} // namespace vx

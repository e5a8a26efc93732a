#include "store/FileSync.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace vx {

namespace {

bool SyncPath(const QString &path, int flags, QString *errorText)
{
    const QByteArray native = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(native.constData(), flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errorText)
            *errorText = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    int rc;
    do {
        rc = ::fsync(fd);
    } while (rc < 0 && errno == EINTR);
    const int saved = errno;
    ::close(fd);
    if (rc < 0) {
        if (errorText)
            *errorText = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(saved)));
        return false;
    }
    return true;
}

} // namespace

bool SyncFile(const QString &path, QString *errorText)
{
    return SyncPath(path, O_RDONLY, errorText);
}

bool SyncFolder(const QString &folder, QString *errorText)
{
    return SyncPath(folder.isEmpty() ? QStringLiteral(".") : folder, O_RDONLY | O_DIRECTORY, errorText);
}

} // namespace vx

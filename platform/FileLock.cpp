#include "platform/FileLock.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace vx::FileLock {

namespace {

QString errnoText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

int openLockFile(const QString &path, int flags)
{
    const QByteArray native = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(native.constData(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

qint64 pidIn(int fd)
{
    char buffer[32] = {};
    const ssize_t got = ::pread(fd, buffer, sizeof buffer - 1, 0);
    if (got <= 0)
        return 0;
    return QByteArray(buffer, int(got)).trimmed().toLongLong();
}

} // namespace

InstanceResult AcquireInstance(const QString &path)
{
    InstanceResult result;
    const int fd = openLockFile(path, O_RDWR | O_CREAT);
    if (fd < 0) {
        result.error = QStringLiteral("%1: %2").arg(path, errnoText(errno));
        return result;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        result.error = QStringLiteral("%1: not a regular file").arg(path);
        ::close(fd);
        return result;
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        const int code = errno;
        if (code == EWOULDBLOCK) {
            // The holder writes its id right after taking the lock: a
            // moment's patience covers a start that is just under way.
            for (int i = 0; i < 20 && result.otherPid == 0; ++i) {
                result.otherPid = pidIn(fd);
                if (result.otherPid == 0)
                    ::usleep(10000);
            }
            if (result.otherPid == 0)
                result.otherPid = -1;
        } else {
            result.error = QStringLiteral("%1: %2").arg(path, errnoText(code));
        }
        ::close(fd);
        return result;
    }
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) != pid.size()) {
        // The lock is what counts; the id is a courtesy for the message.
    }
    result.held = true;
    // fd stays open (and locked) until the process ends.
    return result;
}

qint64 InstanceHolder(const QString &path)
{
    const int fd = openLockFile(path, O_RDONLY);
    if (fd < 0)
        return 0;
    qint64 pid = 0;
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
        ::flock(fd, LOCK_UN);
    } else if (errno == EWOULDBLOCK) {
        pid = pidIn(fd);
        if (pid == 0)
            pid = -1;
    }
    ::close(fd);
    return pid;
}

qint64 SignalInstanceHolder(const QString &path, int signal)
{
    const qint64 pid = InstanceHolder(path);
    if (pid <= 0)
        return pid;
    return ::kill(pid_t(pid), signal) == 0 ? pid : -1;
}

bool LockExclusive(int fd, int waitMs, QString *error)
{
    struct timespec start {};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        const int code = errno;
        if (code == EINTR)
            continue;
        if (code != EWOULDBLOCK) {
            if (error)
                *error = QStringLiteral("cannot lock: %1").arg(errnoText(code));
            return false;
        }
        struct timespec now {};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const qint64 waited = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (waited >= waitMs) {
            if (error)
                *error = QStringLiteral("locked by another program for more than %1 ms").arg(waitMs);
            return false;
        }
        ::usleep(2000);
    }
}

void Unlock(int fd)
{
    ::flock(fd, LOCK_UN);
}

} // namespace vx::FileLock

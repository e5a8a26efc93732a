#include "transport/PortAccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVector>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace vx {

QString PortPermissionAdvice(const QString &device, const QString &user, const QString &groupName, bool listedInGroup,
                             bool inSession)
{
    if (groupName.isEmpty())
        return QStringLiteral(
                   "permission denied: only the owner of %1 may use it; ask the administrator to "
                   "give user %2 read and write access to it")
            .arg(device, user);
    if (listedInGroup && !inSession)
        return QStringLiteral(
                   "permission denied: user %1 was added to group %2 after this session began; log "
                   "out and in again (or restart the service) so that it takes effect")
            .arg(user, groupName);
    if (inSession)
        return QStringLiteral(
                   "permission denied, although user %1 is in group %2 that %3 belongs to; check "
                   "the device's permissions (ls -l %3)")
            .arg(user, groupName, device);
    return QStringLiteral(
               "permission denied: user %1 is not in group %2, which may use %3; add the user with "
               "\"sudo usermod -aG %2 %1\", then log out and in again (or restart the service)")
        .arg(user, groupName, device);
}

QString PortPermissionProblem(const QString &device)
{
    const QByteArray path = QFile::encodeName(device);
    if (::access(path.constData(), R_OK | W_OK) == 0 || errno != EACCES)
        return {};
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return {};

    const uid_t uid = ::geteuid();
    QString user = QString::number(uid);
    gid_t primary = ::getegid();
    if (const passwd *pw = ::getpwuid(uid)) {
        user = QString::fromLocal8Bit(pw->pw_name);
        primary = pw->pw_gid;
    }
    // A group that may read and write the device, its members could open it.
    QString groupName;
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
        groupName = QString::number(st.st_gid);
        if (const group *gr = ::getgrgid(st.st_gid))
            groupName = QString::fromLocal8Bit(gr->gr_name);
    }

    bool inSession = ::getegid() == st.st_gid;
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        QVector<gid_t> groups(count);
        if (::getgroups(count, groups.data()) == count)
            inSession = inSession || groups.contains(st.st_gid);
    }
    bool listed = primary == st.st_gid;
    if (!listed && uid == ::getuid()) {
        if (const passwd *pw = ::getpwuid(uid)) {
            int n = 64;
            QVector<gid_t> groups(n);
            if (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &n) < 0 && n > 0) {
                groups.resize(n);
                ::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &n);
            }
            groups.resize(qMax(0, n));
            listed = groups.contains(st.st_gid);
        }
    }
    return PortPermissionAdvice(device, user, groupName, listed, inSession);
}

namespace {

bool isAlive(qint64 pid)
{
    return pid > 0 && pid <= INT_MAX && QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
}

QString commandName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.read(64).trimmed());
}

// The process other than this one with a descriptor on the device. The
// walk is bounded: a machine with more processes or descriptors than this
// is not searched to its end.
qint64 openedBy(const QByteArray &device)
{
    constexpr int kMaxProcesses = 32768;
    constexpr int kMaxDescriptors = 1 << 20;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return 0;
    const qint64 self = ::getpid();
    int processes = 0;
    int descriptors = 0;
    qint64 found = 0;
    while (const dirent *p = ::readdir(proc)) {
        char *end = nullptr;
        const long long pid = std::strtoll(p->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self)
            continue;
        if (++processes > kMaxProcesses)
            break;
        const QByteArray fdDir = "/proc/" + QByteArray(p->d_name) + "/fd";
        DIR *fds = ::opendir(fdDir.constData());
        if (!fds)
            continue; // another user's process, or gone
        char target[PATH_MAX];
        while (const dirent *f = ::readdir(fds)) {
            if (f->d_name[0] == '.')
                continue;
            if (++descriptors > kMaxDescriptors)
                break;
            const QByteArray link = fdDir + '/' + f->d_name;
            const ssize_t n = ::readlink(link.constData(), target, sizeof target);
            if (n == device.size() && device == QByteArray(target, int(n))) {
                found = pid;
                break;
            }
        }
        ::closedir(fds);
        if (found || descriptors > kMaxDescriptors)
            break;
    }
    ::closedir(proc);
    return found;
}

// The live process, other than this one, that a lock file of the device
// names. Serial programs name the file after the device's path below /dev
// ("LCK..ttyUSB0"; "LCK..pts_3" with '/' made '_') and write the process id
// first in it, as text.
qint64 lockedBy(const QStringList &paths)
{
    static const char *const folders[] = {"/var/lock", "/run/lock",  "/var/lock/lockdev", "/tmp",
                                          "/var/tmp",  "/etc/locks", "/var/spool/locks",  "/var/spool/uucp"};
    QStringList names;
    for (const QString &path : paths) {
        QString name = path.startsWith(QLatin1String("/dev/")) ? path.mid(5) : path;
        names << name.replace(QLatin1Char('/'), QLatin1Char('_')) << QFileInfo(path).fileName();
    }
    names.removeDuplicates();
    for (const char *folder : folders) {
        for (const QString &name : std::as_const(names)) {
            const QByteArray lock = QFile::encodeName(QLatin1String(folder) + QStringLiteral("/LCK..") + name);
            // A regular file of a few bytes only; the open never blocks.
            const int fd = ::open(lock.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                continue;
            struct stat st {};
            char text[64] = {};
            ssize_t n = -1;
            if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < 4096)
                n = ::read(fd, text, sizeof text - 1);
            ::close(fd);
            if (n <= 0)
                continue;
            const qint64 pid = QByteArray(text, int(n)).trimmed().split('\n').value(0).trimmed().toLongLong();
            if (pid != qint64(::getpid()) && isAlive(pid))
                return pid;
        }
    }
    return 0;
}

// The live process, other than this one, that holds a whole-file lock
// (flock) on the device, from the kernel's table of locks: "1: FLOCK
// ADVISORY WRITE <pid> <major>:<minor>:<inode> 0 EOF", the numbers of the
// device node's file system in hexadecimal.
qint64 flockedBy(const QByteArray &device)
{
    struct stat st {};
    if (::stat(device.constData(), &st) != 0)
        return 0;
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray node = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':'
                            + QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':'
                            + QByteArray::number(quint64(st.st_ino));
    // A file of /proc has no size to tell its end: read up to a bound.
    const QList<QByteArray> lines = locks.read(4 << 20).split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> f = line.simplified().split(' ');
        // A waiting request ("1: -> FLOCK ...") holds nothing.
        if (f.size() < 6 || f.at(1) != "FLOCK" || f.at(5) != node)
            continue;
        const qint64 pid = f.at(4).toLongLong();
        if (pid != qint64(::getpid()) && isAlive(pid))
            return pid;
    }
    return 0;
}

} // namespace

PortHolder FindPortHolder(const QString &device)
{
    PortHolder holder;
    const QString canonical = QFileInfo(device).canonicalFilePath();
    const QString real = canonical.isEmpty() ? device : canonical;
    // The claims first (a lock file, a lock on the device), which name the
    // program that keeps others out; then any other process that has it
    // open (a pseudo-terminal's maker holds it too, so that comes last).
    holder.pid = lockedBy({device, real});
    if (holder.pid == 0)
        holder.pid = flockedBy(QFile::encodeName(real));
    if (holder.pid == 0)
        holder.pid = openedBy(QFile::encodeName(real));
    if (holder.pid > 0)
        holder.program = commandName(holder.pid);
    return holder;
}

} // namespace vx

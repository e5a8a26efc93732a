#include "transport/PortAccess.h"

#include <QFile>
#include <QVector>
#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
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

} // namespace vx

#pragma once

#include <QString>

namespace vx {

// Why the user running the program may not open a serial device, with how
// to fix it; empty when nothing forbids it (or the device cannot be looked
// at). Serial devices usually belong to group dialout, and a user outside
// that group meets a bare "permission denied".
QString PortPermissionProblem(const QString &device);

// The wording, from what was found about the device and the user:
//  - groupName: the device's group ("dialout"); empty when the group has
//    no read and write access to it either (only its owner may open it);
//  - listedInGroup: the user is a member of that group in the group
//    database; inSession: the running program has that group.
QString PortPermissionAdvice(const QString &device, const QString &user, const QString &groupName, bool listedInGroup,
                             bool inSession);

// Another process that holds a serial device: one that has it open (read
// from /proc/<pid>/fd, which shows this user's processes, or every process
// to root), else the live process a lock file of the device names (the
// LCK..<name> files that serial programs leave in /var/lock, /run/lock or
// /tmp). This process is never named. pid 0 when none is found.
struct PortHolder {
    qint64 pid = 0;
    QString program; // its command name ("minicom"); may be empty
};
PortHolder FindPortHolder(const QString &device);

} // namespace vx

#pragma once

#include <QString>

namespace vx {

// Advisory locks (flock) that the kernel releases when the holder dies, so a
// crash never leaves a stale lock behind.
namespace FileLock {

// What trying the program's instance lock found.
struct InstanceResult {
    bool held = false;   // this process holds the lock now
    qint64 otherPid = 0; // the holder's process id, when another one holds it
    QString error;       // why the lock could not be tried (folder not writable, ...)
};

// Takes the lock file at path for the rest of the process's life (the file
// descriptor stays open, close-on-exec) and writes this process's id into
// it. Never waits: when another process holds it, otherPid names that one.
InstanceResult AcquireInstance(const QString &path);

// The process that holds the instance lock at path now, 0 when none does
// (-1 when one does but its id cannot be read).
qint64 InstanceHolder(const QString &path);

// Sends `signal` to the process that holds the instance lock at path, only
// while it really holds it: an id left in the file by a process that has
// ended is never signalled. The id signalled; 0 when no process holds the
// lock; -1 when one does but could not be signalled (its id unreadable, or
// another user's process).
qint64 SignalInstanceHolder(const QString &path, int signal);

// Takes an exclusive lock on fd, waiting up to waitMs for another writer to
// let go (polling, so a holder that never lets go costs a bounded wait).
// False with *error when it could not be had.
bool LockExclusive(int fd, int waitMs, QString *error);
void Unlock(int fd);

} // namespace FileLock
} // namespace vx

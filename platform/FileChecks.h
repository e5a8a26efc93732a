#pragma once

#include <QString>

namespace vx {

// Checks of files named by others (settings, look-up files, targets): only
// a regular file counts, and nothing else is ever opened (opening a FIFO
// could block for good).

// Opens the file for reading and closes it again: true when that worked.
// A FIFO, a device node, a socket or a folder is never opened.
bool FileExists(const QString &path);
// Opens path with open(2) flags, never blocking on a FIFO, and keeps the
// descriptor only when it is a regular file; -1 with errno set otherwise
// (EISDIR for a folder, EINVAL for any other kind of node).
int OpenRegular(const QString &path, int flags);
// Opens the file for appending (creating it, empty, when missing) and closes
// it again: true when that worked. Something there that is not a regular
// file is refused without being opened. On failure *why (when given) says
// why, in the words of the system ("No space left on device").
bool CanOpenForAppend(const QString &path, QString *why = nullptr);

// What stands at path when it is neither a regular file (a symbolic link to
// one counts as one) nor absent: "a FIFO", "a character device", "a block
// device", "a socket", "a folder", "something other than a regular file".
// Empty for a regular file or nothing.
QString NotRegularFile(const QString &path);

// The file system of fd (a file or a folder) is one whose files other
// machines, or a program behind FUSE, may change: a network or cluster file
// system, or FUSE. The system's notices of changes there report only what
// goes through this machine's kernel, and a page mapped from such a file
// reaches the others only in its own time. True when it cannot be told.
bool SharedBeyondThisMachine(int fd);

// The system's text for an errno value ("No space left on device").
QString ErrnoText(int error);

} // namespace vx

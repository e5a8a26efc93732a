#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <sys/types.h>

namespace vx {

// Files that are not a target: files others hand the program (profiles, a
// settings file) and the files the program keeps for itself in its data
// folder (the log, temporary files). Whatever stands at such a path may be
// anything: a link planted there, a FIFO, a device, a folder, a huge file.
// These routines never block on a FIFO, never write through a link, and
// never read more than a bound.

// What a file mode is when it is not a regular file, as a refusal says it:
// "is a FIFO", "is a folder", "is a character device", "is a block device",
// "is a socket", "is not a regular file". Empty for a regular file.
QString NotRegularText(mode_t mode);

// A size limit as people read it: "1 MiB", "64 KiB", "100 bytes".
QString SizeText(qint64 bytes);

struct BoundedRead {
    bool ok = false;
    QByteArray content;
    // Why it was refused, to follow the file's name: "is a FIFO", "is larger
    // than 1 MiB", "No such file or directory", "Permission denied".
    QString error;
    int errorNumber = 0; // errno of a failed open or read; 0 for a refusal
};

// Reads a regular file of at most maxBytes bytes. A symbolic link to a
// regular file is followed (a user may link a profile); a link to anything
// else (a device, a FIFO) is refused like the thing itself. The open never
// blocks, and a file that grows past the limit while it is read is refused.
BoundedRead ReadRegularFile(const QString &path, qint64 maxBytes);

// Opens one of the program's own files for appending, creating it with
// `mode` when missing: O_NOFOLLOW | O_NONBLOCK | O_APPEND | O_CLOEXEC, and
// kept only when it is a regular file. -1 and *why ("is a symbolic link",
// "is a FIFO", "Permission denied") otherwise.
int OpenOwnFileForAppend(const QString &path, mode_t mode, QString *why);

// Makes one of the program's own files afresh: whatever stands at the path
// is removed first (a link is removed, never followed), then the file is
// created exclusively with `mode`, so nothing planted between the two steps
// is written through. Open for writing; -1 and *why on failure.
int CreateOwnFile(const QString &path, mode_t mode, QString *why);

// Replaces path by a file holding content: written to a fresh file beside
// it, synced, and renamed over it (the folder synced too), so a reader sees
// either the old file or the new one whole, and a failure leaves the old
// one. A link at path is replaced, never written through. False and *why on
// failure.
bool ReplaceFileWith(const QString &path, const QByteArray &content, mode_t mode, QString *why);

// Writes all of content to fd, again after a short write or a signal; false
// when it stops short (errno says why when a write failed).
bool WriteAll(int fd, QByteArrayView content);

} // namespace vx

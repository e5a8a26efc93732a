#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <sys/types.h>

namespace vx {

// Tells whether a path still names the file that was opened there, at the
// cost of one look-up of the file's name in its folder per question. The
// look-up asks for no times: asking for them would make the system give the
// next write to the file a fresh time stamp of its own, an update of the
// file's inode at every record.
//
// The folder is the one the path named when Watch was called; a watch is
// meant for a fraction of a second (while records follow each other), so a
// folder moved meanwhile is noticed at the next opening.
class PathWatch {
public:
    PathWatch() = default;
    ~PathWatch();
    PathWatch(const PathWatch &) = delete;
    PathWatch &operator=(const PathWatch &) = delete;

    // Watches path for the file open as fd (without fd: the file at path
    // now). False (nothing watched) when the folder cannot be opened or the
    // file cannot be looked at.
    bool Watch(const QString &path, int fd = -1);
    void Clear();
    bool Watching() const { return m_folder >= 0; }

    // True when path names the watched file still, as a regular file; its
    // length goes to *size when given.
    bool Same(qint64 *size = nullptr) const;

private:
    int m_folder = -1;
    QByteArray m_name;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

} // namespace vx

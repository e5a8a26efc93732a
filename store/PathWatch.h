#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <sys/types.h>

namespace vx {

// Tells whether a path still names the file that was opened there.
//
// Same() asks the system, from its first call on, for notices of names made,
// removed or moved in the file's folder (and of the folder itself moved or
// removed): while none has come since the last look, the answer stands
// without looking the name up. The system also signals the thread that
// watches when a notice is queued (a real-time signal whose handler only
// counts), so that the notices are read only after such a signal: a
// question costs no system call while nothing changed. The signal reaches
// the thread before it returns from any system call, so a change made before
// a record was read is always seen at that record. Where the signal cannot
// be had, each question reads the (empty) notices, one system call. Any
// notice makes it look the name up; so does every question when
// notices cannot be had (the system's limit on them reached) or may miss
// changes (a network or FUSE file system, where changes made elsewhere send
// none). Once the folder itself was moved or removed, the path names another
// file and the answer is false; a look-up before the notices began (the
// first question's) or without them goes by the whole path, so a folder
// moved then is seen too. A question that looked the name up also gives the
// file's length it found.
//
// A look-up asks for no times: asking for them would make the system give
// the next write to the file a fresh time stamp of its own, an update of the
// file's inode at every record.
//
// The folder is the one the path named when Watch was called; a watch is
// meant for a fraction of a second (while records follow each other), so a
// folder further up renamed while notices are read is noticed at the next
// opening.
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

    // True when path names the watched file still, as a regular file. When
    // the name was looked up for the answer, *size is the file's length
    // then; otherwise -1.
    bool Same(qint64 *size = nullptr) const;

private:
    // wholePath: by the path as Watch was given it; otherwise by the name
    // in the folder held open.
    bool LookUp(qint64 *size, bool wholePath) const;
    void StartNotices() const;
    // True when a notice came since the last call (or none can be had).
    bool Noticed() const;

    int m_folder = -1;
    mutable int m_notices = -1;
    mutable int m_watchId = -1; // the folder's watch in m_notices
    // An instance of notices kept, without a watch, for the next file:
    // closing one waits for the system to retire its watch (a grace period
    // of up to some milliseconds, at the end of every transfer); removing
    // a watch does not.
    mutable int m_spareNotices = -1;
    mutable bool m_noticesTried = false;
    mutable bool m_folderGone = false;  // the folder was moved or removed
    mutable bool m_confirmed = false;   // looked up, with no notice since
    mutable bool m_signalled = false;   // the system signals queued notices
    mutable unsigned m_signalsSeen = 0; // the count of signals when the notices were last read
    QByteArray m_name;
    QByteArray m_path;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

} // namespace vx

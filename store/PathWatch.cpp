#include "store/PathWatch.h"

#include "platform/FileChecks.h"

#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

namespace vx {

PathWatch::~PathWatch()
{
    Clear();
    if (m_spareNotices >= 0)
        ::close(m_spareNotices);
}

bool PathWatch::Watch(const QString &path, int fd)
{
    Clear();
    struct stat st {};
    if (fd >= 0 ? ::fstat(fd, &st) != 0 : ::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    const QFileInfo info(path);
    m_folder = ::open(QFile::encodeName(info.absolutePath()).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (m_folder < 0)
        return false;
    m_name = QFile::encodeName(info.fileName());
    m_path = QFile::encodeName(info.absoluteFilePath());
    m_device = st.st_dev;
    m_inode = st.st_ino;
    return true;
}

namespace {

// The signal that says notices are queued, counted by its handler; every
// watch reads its notices after the count moved.
std::atomic<unsigned> g_noticeSignals{0};

void CountNoticeSignal(int)
{
    g_noticeSignals.fetch_add(1, std::memory_order_relaxed);
}

// Puts the counting handler on sig, if nothing else of the program has it.
bool TakeSignal(int sig)
{
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL)
        return false;
    struct sigaction action {};
    action.sa_handler = CountNoticeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(sig, &action, nullptr) == 0;
}

// The real-time signal used, once its handler is in place; 0 when it cannot
// be had (another part of the program took it). When the queue of real-time
// signals is full (the user's limit of pending signals reached), the system
// sends a plain SIGIO instead, whose default action ends the process: SIGIO
// is counted by the same handler, or the signals are not used at all.
int NoticeSignal()
{
    static const int number = [] {
        const int sig = SIGRTMIN + 7;
        if (sig > SIGRTMAX || !TakeSignal(SIGIO))
            return 0;
        if (!TakeSignal(sig)) {
            ::signal(SIGIO, SIG_DFL);
            return 0;
        }
        return sig;
    }();
    return number;
}

// The thread that watches is signalled whenever a notice is queued.
bool SignalNotices(int notices)
{
    const int sig = NoticeSignal();
    if (sig == 0)
        return false;
    const f_owner_ex owner{F_OWNER_TID, ::gettid()};
    return ::fcntl(notices, F_SETOWN_EX, &owner) == 0 && ::fcntl(notices, F_SETSIG, sig) == 0
           && ::fcntl(notices, F_SETFL, O_NONBLOCK | O_ASYNC) == 0;
}

} // namespace

void PathWatch::StartNotices() const
{
    m_noticesTried = true;
    // Notices of the folder held open (through its descriptor, so it is the
    // same folder even if it was renamed a moment ago). Without them, or on
    // a folder whose changes they may miss, every question looks the name up.
    if (SharedBeyondThisMachine(m_folder))
        return;
    const int notices =
        m_spareNotices >= 0 ? std::exchange(m_spareNotices, -1) : ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notices < 0)
        return;
    const QByteArray folder = "/proc/self/fd/" + QByteArray::number(m_folder);
    constexpr uint32_t kNames = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
    m_watchId = ::inotify_add_watch(notices, folder.constData(), kNames);
    if (m_watchId < 0) {
        m_spareNotices = notices;
        return;
    }
    m_notices = notices;
    // Counted before the signals start: a notice queued meanwhile is covered
    // by the look-up that follows the start.
    m_signalsSeen = g_noticeSignals.load(std::memory_order_acquire);
    m_signalled = SignalNotices(m_notices);
}

void PathWatch::Clear()
{
    if (m_folder >= 0)
        ::close(m_folder);
    if (m_notices >= 0) {
        // The watch goes and the instance is kept for the next file; what
        // the old watch queued is read away (and would not count anyway:
        // only the current watch's notices do).
        ::inotify_rm_watch(m_notices, m_watchId);
        alignas(struct inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(m_notices, buffer, sizeof buffer);
            if (got <= 0 && !(got < 0 && errno == EINTR))
                break;
        }
        m_spareNotices = m_notices;
    }
    m_folder = -1;
    m_notices = -1;
    m_watchId = -1;
    m_noticesTried = false;
    m_folderGone = false;
    m_confirmed = false;
    m_signalled = false;
    m_name.clear();
    m_path.clear();
    m_device = 0;
    m_inode = 0;
}

bool PathWatch::Noticed() const
{
    if (m_notices < 0)
        return true;
    if (m_signalled) {
        // No signal since the last read: no notice is queued.
        const unsigned count = g_noticeSignals.load(std::memory_order_acquire);
        if (count == m_signalsSeen)
            return false;
        m_signalsSeen = count;
    }
    // Read them all: each says a name in the folder changed (which one does
    // not matter, one look-up answers for all of them), or that the folder
    // itself was moved or removed, after which the path names another.
    alignas(struct inotify_event) char buffer[4096];
    bool any = false;
    for (;;) {
        const ssize_t got = ::read(m_notices, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) // EAGAIN: none left; any other failure: look the name up
            return any || !(got < 0 && errno == EAGAIN);
        for (ssize_t at = 0; at + ssize_t(sizeof(struct inotify_event)) <= got;) {
            const auto *notice = reinterpret_cast<const struct inotify_event *>(buffer + at);
            at += ssize_t(sizeof(struct inotify_event)) + ssize_t(notice->len);
            if (notice->wd != m_watchId && notice->wd != -1) // an earlier file's watch
                continue;
            any = true;
            if (notice->mask & (IN_MOVE_SELF | IN_DELETE_SELF | IN_UNMOUNT | IN_IGNORED))
                m_folderGone = true;
        }
    }
}

bool PathWatch::Same(qint64 *size) const
{
    if (size)
        *size = -1;
    if (m_folder < 0)
        return false;
    // The notices start at the first question, so its look-up (below) also
    // covers the time between the file's opening and their start: by the
    // whole path then, since the folder itself may have been moved before
    // its notices began. Without notices every look-up goes by the whole
    // path, for the same reason.
    bool first = false;
    if (!m_noticesTried) {
        StartNotices();
        first = true;
    } else if (Noticed()) {
        m_confirmed = false;
    }
    if (m_folderGone)
        return false;
    if (!m_confirmed)
        m_confirmed = LookUp(size, first || m_notices < 0);
    return m_confirmed;
}

bool PathWatch::LookUp(qint64 *size, bool wholePath) const
{
    constexpr unsigned kWanted = STATX_TYPE | STATX_INO | STATX_SIZE;
    struct statx sx {};
    const int rc = wholePath ? ::statx(AT_FDCWD, m_path.constData(), 0, kWanted, &sx)
                             : ::statx(m_folder, m_name.constData(), 0, kWanted, &sx);
    if (rc != 0 || (sx.stx_mask & kWanted) != kWanted || !S_ISREG(sx.stx_mode)
        || makedev(sx.stx_dev_major, sx.stx_dev_minor) != m_device || sx.stx_ino != m_inode)
        return false;
    if (size)
        *size = qint64(sx.stx_size);
    return true;
}

} // namespace vx

#include "store/SqliteSetup.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include <fcntl.h>

namespace vx {

namespace {

constexpr char kJoinedFramesVfs[] = "vx-joined-frames";

// SQLite appends a frame to a write-ahead log as two writes: its 24-byte
// header, then the page right behind it. A log file opened through this
// layer keeps such a header back and writes it with the page that follows
// in one piece. Anything else done with the file (a write elsewhere, a read,
// a sync, its size, a lock, closing it) writes a header kept back first, so
// the file is never seen without it: the two writes only become one, in the
// same place and order. The header lives in memory only between the two
// writes of one frame, while the connection holds the log's write lock and
// nothing of the frame is committed, as it is now between SQLite's two
// calls.
//
// Only a header appended right behind the last write is kept back: that is
// a new frame, whose page always follows. A header written anew over an
// earlier frame (a commit does that for frames of its own transaction that
// were written before it, and nothing else follows it on this file) goes
// out at once, or the commit could return with it still in memory.
// Every other file is SQLite's own, untouched.
constexpr int kFrameHeader = 24;

struct LogFile {
    sqlite3_file base; // methods: kLogMethods
    sqlite3_file *real;
    sqlite3_int64 heldAt;
    sqlite3_int64 writtenTo; // where the last write ended (-1: not known)
    bool holding;
    unsigned char held[kFrameHeader];
    unsigned char *joined; // header and page, written together
    int joinedSize;
};

sqlite3_vfs *Real(sqlite3_vfs *vfs)
{
    return static_cast<sqlite3_vfs *>(vfs->pAppData);
}

LogFile *Log(sqlite3_file *file)
{
    return reinterpret_cast<LogFile *>(file);
}

int WriteHeld(LogFile *f)
{
    if (!f->holding)
        return SQLITE_OK;
    f->holding = false;
    const int rc = f->real->pMethods->xWrite(f->real, f->held, kFrameHeader, f->heldAt);
    f->writtenTo = rc == SQLITE_OK ? f->heldAt + kFrameHeader : -1;
    return rc;
}

int WriteThrough(LogFile *f, const void *buffer, int amount, sqlite3_int64 offset)
{
    const int rc = f->real->pMethods->xWrite(f->real, buffer, amount, offset);
    f->writtenTo = rc == SQLITE_OK ? offset + amount : -1;
    return rc;
}

int LogClose(sqlite3_file *file)
{
    LogFile *f = Log(file);
    const int written = WriteHeld(f);
    const int closed = f->real->pMethods->xClose(f->real);
    sqlite3_free(f->joined);
    f->joined = nullptr;
    return written != SQLITE_OK ? written : closed;
}

// What SQLite asks of the log other than a write: a header kept back is
// written first, then the call goes on to SQLite's own file.
template <auto Method, typename... Args>
int AfterHeld(sqlite3_file *file, Args... args)
{
    LogFile *f = Log(file);
    if (const int rc = WriteHeld(f))
        return rc;
    return (f->real->pMethods->*Method)(f->real, args...);
}

// Questions about the device need nothing written.
template <auto Method>
int Asked(sqlite3_file *file)
{
    LogFile *f = Log(file);
    return (f->real->pMethods->*Method)(f->real);
}

int LogWrite(sqlite3_file *file, const void *buffer, int amount, sqlite3_int64 offset)
{
    LogFile *f = Log(file);
    if (f->holding && offset == f->heldAt + kFrameHeader) {
        const int size = kFrameHeader + amount;
        if (size > f->joinedSize) {
            auto *bigger = static_cast<unsigned char *>(sqlite3_realloc(f->joined, size));
            if (!bigger)
                return WriteHeld(f) ? SQLITE_IOERR_WRITE : WriteThrough(f, buffer, amount, offset);
            f->joined = bigger;
            f->joinedSize = size;
        }
        std::memcpy(f->joined, f->held, kFrameHeader);
        std::memcpy(f->joined + kFrameHeader, buffer, size_t(amount));
        f->holding = false;
        return WriteThrough(f, f->joined, size, f->heldAt);
    }
    if (const int rc = WriteHeld(f))
        return rc;
    if (amount == kFrameHeader && offset == f->writtenTo) {
        std::memcpy(f->held, buffer, kFrameHeader);
        f->heldAt = offset;
        f->holding = true;
        return SQLITE_OK;
    }
    return WriteThrough(f, buffer, amount, offset);
}

int LogTruncate(sqlite3_file *file, sqlite3_int64 size)
{
    LogFile *f = Log(file);
    if (const int rc = WriteHeld(f))
        return rc;
    f->writtenTo = -1;
    return f->real->pMethods->xTruncate(f->real, size);
}

// A log is no database file: SQLite asks none of the later versions'
// methods (shared memory, memory mapping) of it.
const sqlite3_io_methods kLogMethods = {
    1,
    LogClose,
    AfterHeld<&sqlite3_io_methods::xRead, void *, int, sqlite3_int64>,
    LogWrite,
    LogTruncate,
    AfterHeld<&sqlite3_io_methods::xSync, int>,
    AfterHeld<&sqlite3_io_methods::xFileSize, sqlite3_int64 *>,
    AfterHeld<&sqlite3_io_methods::xLock, int>,
    AfterHeld<&sqlite3_io_methods::xUnlock, int>,
    AfterHeld<&sqlite3_io_methods::xCheckReservedLock, int *>,
    AfterHeld<&sqlite3_io_methods::xFileControl, int, void *>,
    Asked<&sqlite3_io_methods::xSectorSize>,
    Asked<&sqlite3_io_methods::xDeviceCharacteristics>,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr int RealOffset()
{
    return int((sizeof(LogFile) + 7) & ~size_t(7));
}

int Open(sqlite3_vfs *vfs, const char *name, sqlite3_file *file, int flags, int *outFlags)
{
    sqlite3_vfs *real = Real(vfs);
    // Any other file is opened by SQLite's own layer in the space given.
    if (!(flags & SQLITE_OPEN_WAL))
        return real->xOpen(real, name, file, flags, outFlags);
    LogFile *f = Log(file);
    f->real = reinterpret_cast<sqlite3_file *>(reinterpret_cast<char *>(file) + RealOffset());
    f->holding = false;
    f->heldAt = 0;
    f->writtenTo = -1;
    f->joined = nullptr;
    f->joinedSize = 0;
    const int rc = real->xOpen(real, name, f->real, flags, outFlags);
    // SQLite closes a file whose methods are set, even after a failed open.
    f->base.pMethods = f->real->pMethods ? &kLogMethods : nullptr;
    return rc;
}

// Everything but opening a file goes on to SQLite's own layer as it is.
template <auto Method, typename... Args>
auto Pass(sqlite3_vfs *vfs, Args... args)
{
    return (Real(vfs)->*Method)(Real(vfs), args...);
}

// Registers the layer over SQLite's default one (the Unix files), as the
// new default. False when that one is not there or not of the version the
// layer passes on.
bool RegisterJoinedFrames()
{
    sqlite3_vfs *real = sqlite3_vfs_find(nullptr);
    if (!real || real->iVersion < 3 || sqlite3_vfs_find(kJoinedFramesVfs))
        return false;
    static sqlite3_vfs vfs;
    vfs.iVersion = 3;
    vfs.szOsFile = RealOffset() + real->szOsFile;
    vfs.mxPathname = real->mxPathname;
    vfs.zName = kJoinedFramesVfs;
    vfs.pAppData = real;
    vfs.xOpen = Open;
    vfs.xDelete = Pass<&sqlite3_vfs::xDelete, const char *, int>;
    vfs.xAccess = Pass<&sqlite3_vfs::xAccess, const char *, int, int *>;
    vfs.xFullPathname = Pass<&sqlite3_vfs::xFullPathname, const char *, int, char *>;
    vfs.xDlOpen = Pass<&sqlite3_vfs::xDlOpen, const char *>;
    vfs.xDlError = Pass<&sqlite3_vfs::xDlError, int, char *>;
    vfs.xDlSym = Pass<&sqlite3_vfs::xDlSym, void *, const char *>;
    vfs.xDlClose = Pass<&sqlite3_vfs::xDlClose, void *>;
    vfs.xRandomness = Pass<&sqlite3_vfs::xRandomness, int, char *>;
    vfs.xSleep = Pass<&sqlite3_vfs::xSleep, int>;
    vfs.xCurrentTime = Pass<&sqlite3_vfs::xCurrentTime, double *>;
    vfs.xGetLastError = Pass<&sqlite3_vfs::xGetLastError, int, char *>;
    vfs.xCurrentTimeInt64 = Pass<&sqlite3_vfs::xCurrentTimeInt64, sqlite3_int64 *>;
    vfs.xSetSystemCall = Pass<&sqlite3_vfs::xSetSystemCall, const char *, sqlite3_syscall_ptr>;
    vfs.xGetSystemCall = Pass<&sqlite3_vfs::xGetSystemCall, const char *>;
    vfs.xNextSystemCall = Pass<&sqlite3_vfs::xNextSystemCall, const char *>;
    return sqlite3_vfs_register(&vfs, 1) == SQLITE_OK;
}

// SQLite locks a write-ahead log's index (its -shm file) one byte at a time
// from byte 120: the write lock, the checkpoint's, recovery's, then the
// five readers' slots. A statement in a transaction of its own makes six
// calls: a reader's slot locked exclusive (to move its mark to the log's
// end), unlocked and locked shared; the write lock taken; then the write
// lock and the reader's slot let go, one after the other.
//
// The system changes a held lock's kind in one call, and lets go of a range
// in one. So while a JoinedIndexLocks lives on a thread, an unlock of the
// write lock or of a reader's slot is kept back until the next lock call,
// and joined with it when that call
// - locks the same byte shared: the lock becomes shared where it is, with
//   no moment without it;
// - unlocks a reader's slot after the write lock, and this process holds
//   none of the locks between them: one unlock of the range.
// Any other call makes the kept unlock first, as it was asked. The locks
// pass through the same states in the same order, only without the moments
// in between; one mutex keeps that order across threads, and the end of a
// JoinedIndexLocks makes an unlock still kept back, so no lock outlives the
// statement it belongs to. Outside one, every call goes out as it comes.
using FcntlCall = int (*)(int, int, ...);

constexpr off_t kWriteLock = 120;
constexpr off_t kFirstReaderSlot = 123;
constexpr off_t kIndexLocksEnd = 128; // where "the index is in use" begins

struct IndexLocks {
    std::mutex mutex;
    FcntlCall real = nullptr;
    int keptFd = -1; // an unlock asked for and not made yet
    off_t keptAt = 0;
    // For each descriptor locked at all: which of the bytes 120-127 this
    // process holds, one bit each. A descriptor closed and its number used
    // again may leave bits set for a lock no longer held; that only keeps
    // two unlocks from being joined.
    std::vector<std::pair<int, unsigned>> held;
};

IndexLocks &Locks()
{
    static IndexLocks locks;
    return locks;
}

thread_local int joinedScopes = 0;

// The bits of the index's lock bytes within [start, start + length); a
// length of 0 reaches to the end of the file.
unsigned Bits(off_t start, off_t length)
{
    const off_t end = length == 0 ? kIndexLocksEnd : std::min(start + length, kIndexLocksEnd);
    unsigned bits = 0;
    for (off_t at = std::max(start, kWriteLock); at < end; ++at)
        bits |= 1u << (at - kWriteLock);
    return bits;
}

unsigned &Held(IndexLocks &locks, int fd)
{
    for (auto &entry : locks.held)
        if (entry.first == fd)
            return entry.second;
    return locks.held.emplace_back(fd, 0u).second;
}

int SetLock(IndexLocks &locks, int fd, struct flock *lock)
{
    const int rc = locks.real(fd, F_SETLK, lock);
    if (rc == 0 && lock->l_whence == SEEK_SET) {
        const unsigned bits = Bits(lock->l_start, lock->l_len);
        if (bits) {
            unsigned &held = Held(locks, fd);
            held = lock->l_type == F_UNLCK ? held & ~bits : held | bits;
        }
    }
    return rc;
}

int SetLock(IndexLocks &locks, int fd, short type, off_t start, off_t length)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    return SetLock(locks, fd, &lock);
}

void MakeKept(IndexLocks &locks)
{
    if (locks.keptFd < 0)
        return;
    const int fd = locks.keptFd;
    locks.keptFd = -1;
    // Letting go of a whole one-byte lock cannot fail for want of memory,
    // and the descriptor is still open: its owner asked for this unlock.
    SetLock(locks, fd, F_UNLCK, locks.keptAt, 1);
}

// SQLite's Unix layer makes every fcntl call through this one.
int IndexFcntl(int fd, int cmd, ...)
{
    va_list args;
    va_start(args, cmd);
    void *arg = va_arg(args, void *);
    va_end(args);
    IndexLocks &locks = Locks();
    std::lock_guard<std::mutex> guard(locks.mutex);
    if (cmd != F_SETLK || !arg) {
        MakeKept(locks);
        return locks.real(fd, cmd, arg);
    }
    auto *lock = static_cast<struct flock *>(arg);
    const bool oneIndexByte =
        lock->l_whence == SEEK_SET && lock->l_len == 1 && lock->l_start >= kWriteLock && lock->l_start < kIndexLocksEnd;
    if (locks.keptFd == fd && oneIndexByte) {
        if (lock->l_type == F_RDLCK && lock->l_start == locks.keptAt) {
            locks.keptFd = -1;
            return SetLock(locks, fd, lock);
        }
        if (lock->l_type == F_UNLCK && locks.keptAt == kWriteLock && lock->l_start >= kFirstReaderSlot
            && !(Held(locks, fd) & Bits(kWriteLock + 1, lock->l_start - kWriteLock - 1))) {
            locks.keptFd = -1;
            return SetLock(locks, fd, F_UNLCK, kWriteLock, lock->l_start - kWriteLock + 1);
        }
    }
    MakeKept(locks);
    if (joinedScopes > 0 && oneIndexByte && lock->l_type == F_UNLCK
        && (lock->l_start == kWriteLock || lock->l_start >= kFirstReaderSlot)
        && (Held(locks, fd) & Bits(lock->l_start, 1))) {
        locks.keptFd = fd;
        locks.keptAt = lock->l_start;
        return 0;
    }
    return SetLock(locks, fd, lock);
}

// Puts IndexFcntl between SQLite's Unix layer and the system.
void JoinIndexLocks()
{
    sqlite3_vfs *files = sqlite3_vfs_find("unix");
    if (!files || files->iVersion < 3 || !files->xGetSystemCall || !files->xSetSystemCall)
        return;
    IndexLocks &locks = Locks();
    locks.real = reinterpret_cast<FcntlCall>(files->xGetSystemCall(files, "fcntl"));
    if (locks.real)
        files->xSetSystemCall(files, "fcntl", reinterpret_cast<sqlite3_syscall_ptr>(&IndexFcntl));
}

} // namespace

JoinedIndexLocks::JoinedIndexLocks()
{
    ++joinedScopes;
}

JoinedIndexLocks::~JoinedIndexLocks()
{
    IndexLocks &locks = Locks();
    std::lock_guard<std::mutex> guard(locks.mutex);
    MakeKept(locks);
    --joinedScopes;
}

void ConfigureSqlite()
{
    static const bool configured = [] {
        // Both fail harmlessly (SQLITE_MISUSE) once the library is in use.
        sqlite3_config(SQLITE_CONFIG_MULTITHREAD);
        sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
        JoinIndexLocks();
        return RegisterJoinedFrames();
    }();
    static_cast<void>(configured);
}

} // namespace vx

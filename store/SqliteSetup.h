#pragma once

namespace vx {

// Sets up the SQLite library for this program; called once at start, before
// any database is opened (a later call changes nothing):
// - each connection is used by one thread only (Qt's rule for its
//   connections), so SQLite need not lock a connection at every call, and it
//   keeps no statistics of its memory;
// - the default way to the files becomes one that writes each page of a
//   write-ahead log together with its frame header, in one system call
//   instead of two (see SqliteSetup.cpp). Everything else goes straight to
//   SQLite's own;
// - the locks of a write-ahead log's index can be changed with fewer system
//   calls within a JoinedIndexLocks.
// Without this call SQLite works as shipped.
void ConfigureSqlite();

// While one lives on a thread, the lock calls that SQLite makes one right
// after the other on a write-ahead log's index are joined into one system
// call where the system can do both at once (see SqliteSetup.cpp); its end
// makes any unlock still kept back. Meant around one statement's step, so
// that no lock outlives it; outside one, every call goes out as it comes.
class JoinedIndexLocks {
public:
    JoinedIndexLocks();
    ~JoinedIndexLocks();
    JoinedIndexLocks(const JoinedIndexLocks &) = delete;
    JoinedIndexLocks &operator=(const JoinedIndexLocks &) = delete;
};

} // namespace vx

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
//   SQLite's own.
// Without this call SQLite works as shipped.
void ConfigureSqlite();

} // namespace vx

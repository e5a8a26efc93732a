#pragma once

#include <QByteArray>
#include <QString>

namespace vx::Journal {

// systemd connects a service's standard output to the journal and says so
// in JOURNAL_STREAM ("device:inode" of that stream, in decimal). A program
// it starts may hand its own output elsewhere, so the variable counts only
// when it names the stream that fd really is.
bool IsJournalStream(const QByteArray &journalStream, int fd);
// True when standard output goes to the journal.
bool StdoutIsJournal();

// The priority prefix the journal reads at the start of a line ("<3>" error,
// "<4>" warning, "<6>" information) for one entry of the channel log: the
// program's messages carry their kind ("[error] ...", "[warning] ..."), the
// rest is information.
const char *PriorityPrefix(QByteArrayView logEntry);

} // namespace vx::Journal

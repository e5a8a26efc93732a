#pragma once

#include "platform/MappedHeader.h"
#include "store/PathWatch.h"
#include "store/TargetLayout.h"

#include <QString>
#include <array>

namespace vx {

// A dBase table file with the record-store layout (AllRek C(255),
// Field1..Field20 C(50)), read and written through shapelib.
//
// The file is always the exact path given: shapelib's habit of swapping the
// extension for ".dbf" and of reading, writing or removing a ".cpg" file
// beside the table is switched off, so a table named "data.DBF" or
// "orders.tab" is the file that gets written and nothing else is touched.
//
// shapelib makes new tables and reads the column layout of an existing one;
// rows are appended here, directly on the file, in an order that keeps the
// table readable whatever fails: the row (and the end-of-file mark after
// it) is written first, and only once it is all on the file does the
// header count it. A write that fails (a full disk) puts the file back as
// it was, length and bytes, so every row counted before stays readable and
// the next row can go in once the cause is gone.
class DbaseTable {
public:
    DbaseTable() = default;
    ~DbaseTable();
    DbaseTable(const DbaseTable &) = delete;
    DbaseTable &operator=(const DbaseTable &) = delete;

    // Writes a new, empty table with the record-store columns (the file is
    // replaced). Text is marked as Windows ANSI (language driver 87).
    static bool Create(const QString &path, QString *error = nullptr);

    // Opens an existing table (a regular file) for appending rows; every
    // column of the layout must be there (in any order, any character
    // width).
    bool Open(const QString &path);
    bool IsOpen() const { return m_fd >= 0; }
    // The descriptor rows are written through (-1 when closed).
    int Fd() const { return m_fd; }
    // Appends one row and counts it in the header (with the date of the
    // last update). Values longer than their column are refused. A value's
    // bytes are stored whole, a NUL byte included, and padded with blanks.
    // On failure the file is as it was before the call.
    bool AppendRow(const TargetRow &row);
    void Close();

    // Before AppendRow: the advisory lock that every writer of the table
    // takes (collectors of other homes on a shared folder), so rows
    // interleave whole. False with *error when the lock could not be had.
    // The lock stays after a row until UnlockRow or Close, so a channel
    // writing row after row takes it once; while it stays, and the file is
    // the same length as the last row left it (SameAsLeft), AppendRow
    // knows the row count and the end without reading them again.
    bool LockRow(QString *error);
    void UnlockRow();
    bool Locked() const { return m_locked; }
    // When the lock was taken (monotonic milliseconds).
    qint64 LockedSinceMs() const { return m_lockedAtMs; }
    // The file at the table's path is still the one open, with the length
    // the last row left it at. The path is answered by the folder's notices
    // (PathWatch::Same: no system call while none came); the length is
    // asked of the descriptor at every row (one lseek, no path look-up),
    // since a program that appends without taking the lock sends no notice,
    // and the next row would go over its rows.
    bool SameAsLeft() const;
    // The file at the table's path is still the one open (any length).
    bool SameFile() const { return m_fd >= 0 && m_watch.Same(); }

    QString ErrorText() const { return m_error; }

private:
    bool Fail(const QString &what, int error);
    void WriteBehind(qint64 end);

    int m_fd = -1;
    QByteArray m_rowBytes; // the row being written
    // The header's page, where each row is counted without a system call
    // (on a local file system; else through the descriptor).
    MappedHeader m_header;
    PathWatch m_watch;
    bool m_locked = false;
    qint64 m_lockedAtMs = 0;
    // The header bytes 0..11, the row count and the file's length as the
    // last row left them; valid only while the lock has been held since.
    bool m_known = false;
    unsigned char m_head[12] = {};
    quint32 m_count = 0;
    qint64 m_size = 0;
    // Where the rows handed to the disk ahead of the sync end (see
    // WriteBehind).
    qint64 m_writtenBehind = 0;
    int m_headerLength = 0;
    int m_recordLength = 0;
    std::array<int, TargetLayout::ColumnCount> m_offsets{};
    std::array<int, TargetLayout::ColumnCount> m_widths{};
    QString m_path;
    QString m_error;
};

} // namespace vx

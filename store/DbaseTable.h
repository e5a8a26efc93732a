#pragma once

#include "TargetLayout.h"

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
class DbaseTable {
public:
    DbaseTable() = default;
    ~DbaseTable();
    DbaseTable(const DbaseTable &) = delete;
    DbaseTable &operator=(const DbaseTable &) = delete;

    // Writes a new, empty table with the record-store columns (the file is
    // replaced). Text is marked as Windows ANSI (language driver 87).
    static bool Create(const QString &path, QString *error = nullptr);

    // Opens an existing table for appending rows; every column of the
    // layout must be there (in any order, any character width).
    bool Open(const QString &path);
    bool IsOpen() const { return m_handle != nullptr; }
    // Appends one row; values longer than their column are refused.
    bool AppendRow(const TargetRow &row);
    // Writes the header (record count, date of last update) and closes.
    void Close();

    QString ErrorText() const { return m_error; }

private:
    void *m_handle = nullptr; // DBFHandle
    std::array<int, TargetLayout::ColumnCount> m_columns{};
    std::array<int, TargetLayout::ColumnCount> m_widths{};
    QString m_path;
    QString m_error;
};

} // namespace vx

#pragma once

#include "store/DbaseTable.h"
#include "store/TableTarget.h"

namespace vx {

// "Dbase III (*.dbf)", "Dbase IV (*.dbf)", "Dbase 5 (*.dbf)": a dBase table
// file (the folder part of Name is the database, the file part the table),
// created from the template "db3.dbf", "db4.dbf" or "db5.dbf". Every writer
// of the table takes its lock for a row; the channel keeps the lock from one
// row to the next while its records follow each other, and lets go of it
// when the channel goes quiet or has held it a while (the table stays open
// then for the channel's next row, which takes the lock again).
class DbaseTarget : public TableTarget {
public:
    // version: 3, 4 or 5.
    DbaseTarget(const TargetContext &context, int version);
    ~DbaseTarget() override;

    bool ReleaseIdle(qint64 now) override;

protected:
    QString TemplateName() const override;
    QString ConnectKind() const override;
    bool OpenTable(DatabaseBinding *binding, QString *file) override;
    void CloseTable() override
    {
        m_table.Close();
        m_turn = false;
    }
    bool AppendRow(const TargetRow &row, QString *error) override;
    bool Holding() const override { return m_table.Locked() || m_turn; }
    bool HeldUsable() const override;
    void AfterRow() override;
    int WrittenFd() const override { return m_table.Fd(); }

private:
    const int m_version;
    DbaseTable m_table;
    qint64 m_lockUseMs = 0; // the last row under the kept lock
    // The lock was let go after being held long, the channel's rows still
    // following each other: the next row takes it again and goes on in the
    // table open, without opening it afresh.
    bool m_turn = false;
};

} // namespace vx

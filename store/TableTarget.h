#pragma once

#include "store/RecordTarget.h"

#include <sys/types.h>

namespace vx {

// What identifies a file's state: which file it is, its size and the time
// of its last change.
struct FileStamp {
    bool valid = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    qint64 changedNs = 0;

    static FileStamp Of(const QString &path);
    bool operator==(const FileStamp &o) const
    {
        return valid && o.valid && device == o.device && inode == o.inode && size == o.size && changedNs == o.changedNs;
    }
};

// A target that is a database table with the record-store columns (AllRek,
// Field1..Field20), created from a template in the program folder: each
// record is one row. Opening a table costs more than writing a row, so the
// table stays bound from one record to the next as long as nobody else
// touched its file; it is let go at the end of the transfer.
class TableTarget : public RecordTarget {
public:
    explicit TableTarget(const TargetContext &context);

    bool HoldsRecords() override;
    bool Bind() override;
    bool Reusable() const override;
    DatabaseBinding Binding() const override { return m_binding; }
    Result StoreHeld(const QByteArray &record) override;
    bool Store(const QByteArray &record) override;
    bool PutRow(const TargetRow &row) override;
    void Close() override;
    void LetGo(const QString &path) override;

protected:
    // The binding's connect kind ("Access", "dBASE III", ...).
    virtual QString ConnectKind() const = 0;
    // Fills the binding for Name() and opens the table; *file is the table's
    // file (empty: nothing to open). False with the reason logged.
    virtual bool OpenTable(DatabaseBinding *binding, QString *file) = 0;
    virtual void CloseTable() = 0;
    virtual bool AppendRow(const TargetRow &row, QString *error) = 0;
    // The table held from the last row to the next, and usable as it is
    // after a look at its path.
    virtual bool Holding() const = 0;
    virtual bool HeldUsable() const = 0;
    // After a record's row went in, the table being kept for the next.
    virtual void AfterRow() {}
    virtual void KeptOpen() {}
    // The descriptor the rows went through (-1: not known here).
    virtual int WrittenFd() const { return -1; }

    const QString &BoundFile() const { return m_boundFile; }

private:
    bool WriteRow(const QByteArray &record);

    DatabaseBinding m_binding;
    bool m_bound = false;
    QString m_boundFile;
    // The bound file as this channel left it after its last row: the
    // binding is kept open for the next record only while the file is still
    // exactly that (not replaced, moved, or written by anyone else).
    FileStamp m_stamp;
    // The bound file is among the channel's files to sync: said once per
    // binding (a sync or a release of the file closes the binding first).
    bool m_noted = false;
};

} // namespace vx

#pragma once

#include "store/PathWatch.h"
#include "store/SqliteTable.h"
#include "store/TableTarget.h"

namespace vx {

// "Access 2.0 (*.mdb)": an SQLite database file holding table "Vendrix",
// created from the template "mdb2.mdb". SQLite itself takes care of other
// programs writing the file, so the database stays bound while its path
// names the file opened.
class SqliteTarget : public TableTarget {
public:
    explicit SqliteTarget(const TargetContext &context);

protected:
    QString TemplateName() const override { return QStringLiteral("mdb2.mdb"); }
    QStringList SideFiles() const override { return SqliteSideFiles(Name()); }
    QString ConnectKind() const override { return QStringLiteral("Access"); }
    bool OpenTable(DatabaseBinding *binding, QString *file) override;
    void CloseTable() override;
    bool AppendRow(const TargetRow &row, QString *error) override;
    bool Holding() const override { return m_watch.Watching(); }
    bool HeldUsable() const override { return m_watch.Same(); }
    void KeptOpen() override { m_watch.Watch(BoundFile()); }

private:
    SqliteTable m_table;
    // The bound file, for the rows that follow the first.
    PathWatch m_watch;
};

} // namespace vx

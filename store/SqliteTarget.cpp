#include "store/SqliteTarget.h"

namespace vx {

SqliteTarget::SqliteTarget(const TargetContext &context)
    : TableTarget(context),
      m_table(QStringLiteral("vx.store.%1.%2").arg(reinterpret_cast<quintptr>(this), 0, 16).arg(context.channel))
{
}

bool SqliteTarget::OpenTable(DatabaseBinding *binding, QString *file)
{
    *binding = {ConnectKind(), Name(), QString::fromLatin1(TargetLayout::SqliteTable)};
    Host().ReleaseFile(Name(), Channel());
    if (!m_table.Open(Name(), binding->RecordSource)) {
        Problem(QStringLiteral("Cannot open the database %1: %2").arg(Name(), m_table.ErrorText()));
        return false;
    }
    *file = Name();
    return true;
}

void SqliteTarget::CloseTable()
{
    m_table.Close();
    m_watch.Clear();
    if (m_table.LogLeft())
        Host().Written(Channel(), Name() + QStringLiteral("-wal"));
}

bool SqliteTarget::AppendRow(const TargetRow &row, QString *error)
{
    const bool ok = m_table.AppendRow(row);
    *error = m_table.ErrorText();
    return ok;
}

} // namespace vx

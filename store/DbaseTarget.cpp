#include "store/DbaseTarget.h"

#include "platform/Clock.h"
#include "store/RecordText.h"

namespace vx {

DbaseTarget::DbaseTarget(const TargetContext &context, int version) : TableTarget(context), m_version(version) {}

DbaseTarget::~DbaseTarget()
{
    Close();
}

QString DbaseTarget::TemplateName() const
{
    return QStringLiteral("db%1.dbf").arg(m_version);
}

QString DbaseTarget::ConnectKind() const
{
    switch (m_version) {
    case 3:
        return QStringLiteral("dBASE III");
    case 4:
        return QStringLiteral("dBASE IV");
    default:
        return QStringLiteral("dBASE 5.0");
    }
}

bool DbaseTarget::OpenTable(DatabaseBinding *binding, QString *file)
{
    binding->Connect = ConnectKind();
    const SplitPathResult parts = SplitPath(Name());
    if (!parts.found)
        return true; // no folder part: nothing is bound
    binding->DatabaseName = parts.folder;
    binding->RecordSource = parts.file;
    const QString table = parts.folder + parts.file;
    Host().ReleaseFile(table, Channel());
    if (!m_table.Open(table)) {
        Problem(QStringLiteral("Cannot open the table: %1").arg(m_table.ErrorText()));
        return false;
    }
    *file = table;
    return true;
}

bool DbaseTarget::AppendRow(const TargetRow &row, QString *error)
{
    // The lock stays for the channel's next rows (let go when the channel
    // is quiet, held long, or the table is closed).
    if (!m_table.LockRow(error))
        return false;
    const bool ok = m_table.AppendRow(row);
    *error = m_table.ErrorText();
    if (!ok)
        m_table.UnlockRow();
    return ok;
}

// After a record's row under a kept lock: let go of it when it has been
// held long (another writer gets its turn), else when the channel goes
// quiet.
void DbaseTarget::AfterRow()
{
    if (!m_table.Locked())
        return;
    const qint64 now = MonotonicMs();
    m_lockUseMs = now;
    m_turn = false;
    if (now - m_table.LockedSinceMs() >= HoldLongestMs) {
        m_table.UnlockRow();
        m_turn = true;
    }
    Host().HoldIdle();
}

// Under the kept lock: the file as the last row left it. After the lock was
// let go for another writer's turn: the file at the path still the one
// open; its rows are counted afresh when the lock is taken again.
bool DbaseTarget::HeldUsable() const
{
    return m_table.Locked() ? m_table.SameAsLeft() : m_table.SameFile();
}

bool DbaseTarget::ReleaseIdle(qint64 now)
{
    if (!m_table.Locked() && !m_turn)
        return false;
    if (now - m_lockUseMs < HoldIdleMs)
        return true;
    m_table.UnlockRow();
    m_turn = false;
    return false;
}

} // namespace vx

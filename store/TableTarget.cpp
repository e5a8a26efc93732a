#include "store/TableTarget.h"

#include "store/SqliteTable.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace vx {

FileStamp FileStamp::Of(const QString &path)
{
    FileStamp f;
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return f;
    f.valid = true;
    f.device = st.st_dev;
    f.inode = st.st_ino;
    f.size = st.st_size;
    f.changedNs = qint64(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return f;
}

TableTarget::TableTarget(const TargetContext &context) : RecordTarget(context) {}

// A database file holds records once it is no longer a plain copy of its
// template (one without its template counts as holding records).
bool TableTarget::HoldsRecords()
{
    const QFileInfo info(Name());
    if (!info.exists())
        return false;
    // Rows still in a write-ahead log reach the file when it is let go.
    Host().ReleaseFile(Name());
    for (const QString &side : SqliteSideFiles(Name()))
        if (QFileInfo(side).size() > 0)
            return true;
    QFile made(Name());
    QFile plain(Host().ProgramDir() + QLatin1Char('/') + TemplateName());
    if (!plain.exists() || plain.size() != made.size())
        return true;
    if (!made.open(QIODevice::ReadOnly) || !plain.open(QIODevice::ReadOnly))
        return true;
    return made.readAll() != plain.readAll();
}

bool TableTarget::Bind()
{
    Close();
    m_binding = DatabaseBinding();
    QString file;
    if (!OpenTable(&m_binding, &file))
        return false;
    m_bound = !file.isEmpty();
    m_boundFile = file;
    return true;
}

void TableTarget::Close()
{
    CloseTable();
    m_bound = false;
    m_boundFile.clear();
    m_stamp = FileStamp();
    m_noted = false;
}

void TableTarget::LetGo(const QString &path)
{
    if (m_bound && m_boundFile == path)
        Close();
}

// The binding can take the next record as it is: bound to the file the
// settings name, the file as the last row left it, and still readable and
// writable (what SetDB and Writable would check).
bool TableTarget::Reusable() const
{
    if (!m_stamp.valid || !m_bound || m_binding.Connect != ConnectKind() || m_boundFile != Name())
        return false;
    if (::access(QFile::encodeName(m_boundFile).constData(), R_OK | W_OK) != 0)
        return false;
    return FileStamp::Of(m_boundFile) == m_stamp;
}

// A table bound since an earlier row of this transfer, still the file at
// its path: the next row at once.
RecordTarget::Result TableTarget::StoreHeld(const QByteArray &record)
{
    if (!m_bound || !Holding())
        return Result::NotTaken;
    if (m_boundFile == Name() && m_binding.Connect == ConnectKind() && HeldUsable()) {
        if (WriteRow(record))
            return Result::Stored;
        Close();
        return Result::Refused;
    }
    Close();
    return Result::NotTaken;
}

bool TableTarget::Store(const QByteArray &record)
{
    const bool ok = WriteRow(record);
    if (ok && m_bound) {
        m_stamp = FileStamp::Of(m_boundFile); // kept open for the next record
        KeptOpen();
    } else {
        Close();
    }
    return ok;
}

bool TableTarget::WriteRow(const QByteArray &record)
{
    const bool ok = PutRow(Host().MakeRow(Channel(), record));
    AfterRow();
    return ok;
}

bool TableTarget::PutRow(const TargetRow &row)
{
    if (!m_bound)
        return RecordTarget::PutRow(row);
    QString error;
    if (!AppendRow(row, &error)) {
        Problem(QStringLiteral("Record not written: %1").arg(error));
        return false;
    }
    if (!m_noted) {
        Host().Written(Channel(), m_boundFile, WrittenFd());
        m_noted = true;
    }
    return true;
}

} // namespace vx

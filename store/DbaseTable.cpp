#include "DbaseTable.h"

#include <QDate>
#include <QFile>

#include <cstdio>
#include <cstring>
#include <shapefil.h>

namespace vx {

namespace {

// shapelib derives the names it opens from the one it is given (".dbf",
// ".DBF", ".cpg", ".CPG" after the base name). These hooks open the one
// file we mean whatever name shapelib asks for, refuse every code-page
// side file and never remove anything.
thread_local const char *t_path = nullptr;
thread_local QString *t_error = nullptr;

bool IsCodePageName(const char *name)
{
    const std::size_t len = std::strlen(name);
    return len >= 4 && (std::strcmp(name + len - 4, ".cpg") == 0 || std::strcmp(name + len - 4, ".CPG") == 0);
}

SAFile HookOpen(const char *name, const char *access)
{
    if (!t_path || IsCodePageName(name))
        return nullptr;
    return reinterpret_cast<SAFile>(std::fopen(t_path, access));
}

SAOffset HookRead(void *p, SAOffset size, SAOffset count, SAFile file)
{
    return std::fread(p, size, count, reinterpret_cast<FILE *>(file));
}

SAOffset HookWrite(void *p, SAOffset size, SAOffset count, SAFile file)
{
    return std::fwrite(p, size, count, reinterpret_cast<FILE *>(file));
}

SAOffset HookSeek(SAFile file, SAOffset offset, int whence)
{
    return static_cast<SAOffset>(std::fseek(reinterpret_cast<FILE *>(file), static_cast<long>(offset), whence));
}

SAOffset HookTell(SAFile file)
{
    return static_cast<SAOffset>(std::ftell(reinterpret_cast<FILE *>(file)));
}

int HookFlush(SAFile file)
{
    return std::fflush(reinterpret_cast<FILE *>(file));
}

int HookClose(SAFile file)
{
    return std::fclose(reinterpret_cast<FILE *>(file));
}

int HookRemove(const char *)
{
    return 0;
}

void HookError(const char *message)
{
    if (t_error)
        *t_error = QString::fromLocal8Bit(message);
}

double HookAtof(const char *text)
{
    return std::atof(text);
}

SAHooks ExactPathHooks()
{
    SAHooks hooks;
    SASetupDefaultHooks(&hooks);
    hooks.FOpen = HookOpen;
    hooks.FRead = HookRead;
    hooks.FWrite = HookWrite;
    hooks.FSeek = HookSeek;
    hooks.FTell = HookTell;
    hooks.FFlush = HookFlush;
    hooks.FClose = HookClose;
    hooks.Remove = HookRemove;
    hooks.Error = HookError;
    hooks.Atof = HookAtof;
    return hooks;
}

// Sets the exact path (and the error sink) for the duration of one shapelib
// call that opens files.
class PathScope {
public:
    PathScope(const QByteArray &path, QString *error)
    {
        t_path = path.constData();
        t_error = error;
    }
    ~PathScope()
    {
        t_path = nullptr;
        t_error = nullptr;
    }
};

void StampToday(DBFHandle handle)
{
    const QDate today = QDate::currentDate();
    DBFSetLastModifiedDate(handle, today.year() - 1900, today.month(), today.day());
}

} // namespace

DbaseTable::~DbaseTable()
{
    Close();
}

bool DbaseTable::Create(const QString &path, QString *error)
{
    QString ignored;
    QString &err = error ? *error : ignored;
    err.clear();
    QFile::remove(path);
    const QByteArray native = QFile::encodeName(path);
    PathScope scope(native, &err);
    SAHooks hooks = ExactPathHooks();
    DBFHandle handle = DBFCreateLL(native.constData(), "LDID/87", &hooks);
    if (!handle) {
        if (err.isEmpty())
            err = QStringLiteral("cannot create %1").arg(path);
        return false;
    }
    StampToday(handle);
    bool ok = true;
    for (int i = 0; i < TargetLayout::ColumnCount && ok; ++i)
        ok = DBFAddField(handle, TargetLayout::ColumnName(i).constData(), FTString,
                         TargetLayout::ColumnWidth(i), 0) == i;
    DBFClose(handle);
    if (!ok) {
        if (err.isEmpty())
            err = QStringLiteral("cannot add the columns to %1").arg(path);
        QFile::remove(path);
    }
    return ok;
}

bool DbaseTable::Open(const QString &path)
{
    Close();
    m_error.clear();
    m_path = path;
    const QByteArray native = QFile::encodeName(path);
    PathScope scope(native, &m_error);
    SAHooks hooks = ExactPathHooks();
    DBFHandle handle = DBFOpenLL(native.constData(), "rb+", &hooks);
    if (!handle) {
        if (m_error.isEmpty())
            m_error = QStringLiteral("%1 is not a dBase table that can be written").arg(path);
        return false;
    }
    for (int i = 0; i < TargetLayout::ColumnCount; ++i) {
        const int index = DBFGetFieldIndex(handle, TargetLayout::ColumnName(i).constData());
        int width = 0;
        if (index < 0 || DBFGetFieldInfo(handle, index, nullptr, &width, nullptr) != FTString) {
            m_error = QStringLiteral("%1 has no text column %2")
                          .arg(path, QString::fromLatin1(TargetLayout::ColumnName(i)));
            DBFClose(handle);
            return false;
        }
        m_columns[i] = index;
        m_widths[i] = width;
    }
    StampToday(handle);
    m_handle = handle;
    return true;
}

bool DbaseTable::AppendRow(const TargetRow &row)
{
    auto *handle = static_cast<DBFHandle>(m_handle);
    if (!handle) {
        m_error = QStringLiteral("no table is open");
        return false;
    }
    for (int i = 0; i < TargetLayout::ColumnCount; ++i) {
        if (row[i].size() > m_widths[i]) {
            m_error = QStringLiteral("%1 does not fit column %2 of %3")
                          .arg(QString::fromLatin1(row[i]), QString::fromLatin1(TargetLayout::ColumnName(i)),
                               m_path);
            return false;
        }
    }
    const int record = DBFGetRecordCount(handle);
    PathScope scope(QByteArray(), &m_error);
    for (int i = 0; i < TargetLayout::ColumnCount; ++i) {
        if (!DBFWriteStringAttribute(handle, record, m_columns[i], row[i].constData())) {
            if (m_error.isEmpty())
                m_error = QStringLiteral("cannot write row %1 of %2").arg(record + 1).arg(m_path);
            return false;
        }
    }
    // Writes the row and the new record count now, so a failure shows here
    // and not only when the table is closed.
    DBFUpdateHeader(handle);
    // Nothing is left to write at closing: a table kept open while another
    // program appended to it must not put its own, older record count back.
    handle->bUpdated = 0;
    FILE *file = reinterpret_cast<FILE *>(handle->fp);
    if (file && std::ferror(file)) {
        m_error = QStringLiteral("cannot write row %1 of %2").arg(record + 1).arg(m_path);
        return false;
    }
    return m_error.isEmpty();
}

void DbaseTable::Close()
{
    if (m_handle) {
        DBFClose(static_cast<DBFHandle>(m_handle));
        m_handle = nullptr;
    }
}

} // namespace vx

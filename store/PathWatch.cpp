#include "PathWatch.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace vx {

PathWatch::~PathWatch()
{
    Clear();
}

bool PathWatch::Watch(const QString &path, int fd)
{
    Clear();
    struct stat st {};
    if (fd >= 0 ? ::fstat(fd, &st) != 0 : ::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    const QFileInfo info(path);
    m_folder = ::open(QFile::encodeName(info.absolutePath()).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (m_folder < 0)
        return false;
    m_name = QFile::encodeName(info.fileName());
    m_device = st.st_dev;
    m_inode = st.st_ino;
    return true;
}

void PathWatch::Clear()
{
    if (m_folder >= 0)
        ::close(m_folder);
    m_folder = -1;
    m_name.clear();
    m_device = 0;
    m_inode = 0;
}

bool PathWatch::Same(qint64 *size) const
{
    if (m_folder < 0)
        return false;
    constexpr unsigned kWanted = STATX_TYPE | STATX_INO | STATX_SIZE;
    struct statx sx {};
    if (::statx(m_folder, m_name.constData(), 0, kWanted, &sx) != 0 || (sx.stx_mask & kWanted) != kWanted
        || !S_ISREG(sx.stx_mode) || makedev(sx.stx_dev_major, sx.stx_dev_minor) != m_device || sx.stx_ino != m_inode)
        return false;
    if (size)
        *size = qint64(sx.stx_size);
    return true;
}

} // namespace vx

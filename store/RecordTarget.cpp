#include "store/RecordTarget.h"

#include "platform/FileChecks.h"
#include "platform/Messenger.h"
#include "store/FileSync.h"
#include "store/RecordText.h"

#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cerrno>
#include <cstdio>

namespace vx {

namespace {

const QString kCannotCreate = QStringLiteral(
    "Warning: requested file cannot be created.\r\n"
    "Select another one and start application again.");

QString DownloadFileNotAvailable(int n)
{
    // The channel number keeps the blank that a number's text form reserves
    // for its sign: "(index =  2)".
    return QStringLiteral("Warning, selected download file (index = ") + QLatin1Char(' ') + QString::number(n)
           + QStringLiteral(") not available. Choose another one.");
}

// Copies a template into place as a new file, which gets the mode that the
// process's umask gives any new file (a service's UMask=0027 keeps records
// from other users) and is writable by its owner, whatever the installed
// template's own mode; false with *why on failure. The templates are small.
bool CopyTemplate(const QString &source, const QString &target, QString *why)
{
    constexpr qint64 kMaxTemplateBytes = 16 * 1024 * 1024;
    QFile from(source);
    if (!from.open(QIODevice::ReadOnly)) {
        *why = from.errorString();
        return false;
    }
    const QByteArray bytes = from.read(kMaxTemplateBytes + 1);
    if (bytes.size() > kMaxTemplateBytes || from.error() != QFileDevice::NoError) {
        *why = from.error() != QFileDevice::NoError ? from.errorString() : QStringLiteral("the template is too large");
        return false;
    }
    QFile copy(target);
    if (!copy.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        *why = copy.errorString();
        return false;
    }
    if (copy.write(bytes) != bytes.size() || !copy.flush()) {
        *why = copy.errorString();
        copy.close();
        copy.remove();
        return false;
    }
    copy.close();
    const QFileDevice::Permissions owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    if ((copy.permissions() & owner) != owner && !copy.setPermissions(copy.permissions() | owner)) {
        *why = copy.errorString();
        return false;
    }
    return true;
}

} // namespace

RecordTarget::RecordTarget(const TargetContext &context)
    : m_channel(context.channel), m_db(context.db), m_host(context.host), m_type(context.db.Type),
      m_name(context.db.Name), m_separator(context.db.SepCode)
{
}

RecordTarget::~RecordTarget() = default;

QString RecordTarget::Describe() const
{
    return QStringLiteral("%1 target %2").arg(m_type.trimmed(), m_db.Name);
}

bool RecordTarget::Exists() const
{
    return FileExists(m_db.Name);
}

bool RecordTarget::HoldsRecords()
{
    const QFileInfo info(m_db.Name);
    return info.exists() && info.size() > 0;
}

bool RecordTarget::MoveToTimeStampedName(const QTime &now)
{
    const QString &name = m_db.Name;
    if (!FileExists(name))
        return true;
    m_host.ReleaseFile(name);
    // An earlier transfer moved within the same second keeps its file: the
    // new name gets a counter instead of replacing it.
    const QString moved = UniqueTimeStampedName(name, now);
    m_host.ForgetWritten(name);
    if (::rename(QFile::encodeName(name).constData(), QFile::encodeName(moved).constData()) != 0) {
        Log(QStringLiteral("Cannot move %1 to %2: %3").arg(name, moved, ErrnoText(errno)));
        return false;
    }
    QString error;
    if (!SyncFolder(QFileInfo(moved).absolutePath(), &error))
        Log(QStringLiteral("Cannot sync %1").arg(error));
    return true;
}

bool RecordTarget::Create()
{
    const QString &name = m_db.Name;
    // A FIFO or a device node in the target's place is never deleted.
    if (!m_host.RegularOrAbsent(m_channel, name))
        return false;
    const bool existed = QFileInfo::exists(name);
    QString why;
    if (!CanOpenForAppend(name, &why)) {
        Problem(QStringLiteral("The target %1 is not available: %2; its records are refused until it can be written: "
                               "make its folder exist and writable, or choose another Name in [%3].")
                    .arg(name, why, DbmsSection(m_channel)));
        m_host.Messages().message(DownloadFileNotAvailable(m_channel), MsgIcon::Critical);
        return false;
    }

    const QString templateName = TemplateName();
    const QString source = templateName.isEmpty() ? QString() : m_host.ProgramDir() + QLatin1Char('/') + templateName;
    // Without its template a database target cannot be made again: an old
    // file is then kept rather than deleted for nothing, and only the empty
    // file that the append test may just have created is removed.
    const bool templateThere = templateName.isEmpty() || FileExists(source);
    if (templateThere || !existed) {
        m_host.ReleaseFile(name);
        m_host.ForgetWritten(name);
        QFile::remove(name);
    }
    if (templateName.isEmpty())
        return true; // the next append makes the file again

    // A journal left beside the old file would be played back into the new
    // one.
    if (templateThere) {
        for (const QString &side : SideFiles())
            QFile::remove(side);
    }
    QString copyError = templateThere ? QString() : QStringLiteral("the template is missing");
    if (!templateThere || !CopyTemplate(source, name, &copyError)) {
        Log(QStringLiteral("Cannot copy the template %1 to %2: %3").arg(source, name, copyError));
        m_host.Messages().message(kCannotCreate, MsgIcon::Critical);
        return false;
    }
    return true;
}

bool RecordTarget::Writable(QString *why) const
{
    return CanOpenForAppend(m_db.Name, why);
}

RecordTarget::Result RecordTarget::StoreHeld(const QByteArray &record)
{
    Q_UNUSED(record);
    return Result::NotTaken;
}

RecordTarget::Result RecordTarget::StoreOpening(const QByteArray &record)
{
    Q_UNUSED(record);
    return Result::NotTaken;
}

void RecordTarget::StoreLater(const TargetRow &row, Done done)
{
    Q_UNUSED(row);
    QTimer::singleShot(0, [done] { done(false); });
}

bool RecordTarget::PutRow(const TargetRow &row)
{
    Q_UNUSED(row);
    Problem(QStringLiteral("Record not written: %1").arg(QStringLiteral("no table is bound to %1").arg(m_db.Name)));
    return false;
}

} // namespace vx

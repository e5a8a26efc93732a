#include "store/ErpTarget.h"

#include "platform/Messenger.h"

#include <QFile>
#include <QFileInfo>

namespace vx {

namespace {

const QString kErpMissing = QStringLiteral(
    "WARNING, database ZUCCHETTI does not exist.\r\n"
    "Create database and re-run program!");

// The ERP database is checked without ever creating a file in its place.
bool ExistingFileWritable(const QString &path)
{
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::ExistingOnly);
}

} // namespace

ErpTarget::ErpTarget(const TargetContext &context) : RecordTarget(context) {}

bool ErpTarget::Create()
{
    if (!Host().RegularOrAbsent(Channel(), Name()))
        return false;
    if (!ExistingFileWritable(Name())) {
        Host().Messages().message(kErpMissing);
        Host().Terminate();
        return false;
    }
    return true;
}

bool ErpTarget::Writable(QString *why) const
{
    if (ExistingFileWritable(Name()))
        return true;
    *why = QStringLiteral("it is not an existing, writable file");
    return false;
}

bool ErpTarget::Store(const QByteArray &record)
{
    ZucchettiWriter *writer = Host().Erp();
    if (!writer) {
        Problem(QStringLiteral("Record refused: no ERP bridge is available for the target type \"Zucchetti\" (%1)")
                    .arg(Name()));
        return false;
    }
    if (!writer->WriteRecord(record, Name(), Channel()))
        return false;
    Host().Written(Channel(), Name());
    return true;
}

} // namespace vx

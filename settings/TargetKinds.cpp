#include "settings/TargetKinds.h"

namespace vx {

const std::array<TargetKind, 8> &TargetKinds()
{
    static const std::array<TargetKind, 8> kinds{{
        {"TXT (*.txt)", "Text File (*.txt)|*.txt", TargetName::RecordFile},
        {"Access 2.0 (*.mdb)", "Access DataBase (*.mdb)|*.mdb", TargetName::RecordFile},
        {"Dbase III (*.dbf)", "Dbase III (*.dbf)|*.dbf", TargetName::RecordFile},
        {"Dbase IV (*.dbf)", "Dbase IV (*.dbf)|*.dbf", TargetName::RecordFile},
        {"Dbase 5 (*.dbf)", "Dbase 5 (*.dbf)|*.dbf", TargetName::RecordFile},
        {"CSV (*.csv)", "CSV (*.csv)|*.csv", TargetName::RecordFile},
        {"Zucchetti", "Tutti i file|*.*", TargetName::ErpDatabase},
        {"PostgreSQL", "", TargetName::ServerConnection},
    }};
    return kinds;
}

const QStringList &TargetTypes()
{
    static const QStringList types = [] {
        QStringList list;
        for (const TargetKind &k : TargetKinds())
            list << QString::fromLatin1(k.type);
        return list;
    }();
    return types;
}

QString TargetFilter(int index)
{
    if (index < 0 || index >= int(TargetKinds().size()))
        return {};
    return QString::fromLatin1(TargetKinds()[index].filter);
}

TargetName TargetNameOf(const QString &type)
{
    const QString trimmed = type.trimmed();
    for (const TargetKind &k : TargetKinds())
        if (trimmed == QLatin1String(k.type))
            return k.name;
    return TargetName::RecordFile;
}

} // namespace vx

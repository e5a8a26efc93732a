#include "settings/TargetKinds.h"

namespace vx {

const std::array<TargetKind, 8> &TargetKinds()
{
    static const std::array<TargetKind, 8> kinds{{
        {"TXT (*.txt)", "Text File (*.txt)|*.txt"},
        {"Access 2.0 (*.mdb)", "Access DataBase (*.mdb)|*.mdb"},
        {"Dbase III (*.dbf)", "Dbase III (*.dbf)|*.dbf"},
        {"Dbase IV (*.dbf)", "Dbase IV (*.dbf)|*.dbf"},
        {"Dbase 5 (*.dbf)", "Dbase 5 (*.dbf)|*.dbf"},
        {"CSV (*.csv)", "CSV (*.csv)|*.csv"},
        {"Zucchetti", "Tutti i file|*.*"},
        {"PostgreSQL", ""},
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

} // namespace vx

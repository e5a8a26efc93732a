#include "store/TargetKinds.h"

#include "store/DbaseTarget.h"
#include "store/ErpTarget.h"
#include "store/PostgresTarget.h"
#include "store/SqliteTarget.h"
#include "store/TextTarget.h"

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

std::unique_ptr<RecordTarget> MakeTarget(const TargetContext &context, const QString &collector)
{
    // The file kinds are named exactly; the ERP and the server also with
    // blanks around the name.
    const QString &type = context.db.Type;
    if (type == QLatin1String("TXT (*.txt)"))
        return std::make_unique<TextTarget>(context, TextTarget::Kind::Txt, QByteArray());
    if (type == QLatin1String("CSV (*.csv)"))
        return std::make_unique<TextTarget>(context, TextTarget::Kind::Csv,
                                            TextTarget::CsvSeparator(context.db.SepCode));
    if (type == QLatin1String("Access 2.0 (*.mdb)"))
        return std::make_unique<SqliteTarget>(context);
    if (type == QLatin1String("Dbase III (*.dbf)"))
        return std::make_unique<DbaseTarget>(context, 3);
    if (type == QLatin1String("Dbase IV (*.dbf)"))
        return std::make_unique<DbaseTarget>(context, 4);
    if (type == QLatin1String("Dbase 5 (*.dbf)"))
        return std::make_unique<DbaseTarget>(context, 5);
    const QString name = type.trimmed();
    if (name == QLatin1String("Zucchetti"))
        return std::make_unique<ErpTarget>(context);
    if (name == QLatin1String("PostgreSQL"))
        return std::make_unique<PostgresTarget>(context, collector);
    return std::make_unique<TextTarget>(context, TextTarget::Kind::Other, QByteArray());
}

} // namespace vx

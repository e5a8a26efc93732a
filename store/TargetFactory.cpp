#include "store/TargetFactory.h"

#include "store/DbaseTarget.h"
#include "store/ErpTarget.h"
#include "store/PostgresTarget.h"
#include "store/SqliteTarget.h"
#include "store/TextTarget.h"

namespace vx {

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

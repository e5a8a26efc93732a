// Writes the empty record-store templates into the program folder:
// mdb2.mdb (an SQLite database holding table Vendrix) and db3.dbf, db4.dbf,
// db5.dbf (dBase tables), all with the columns AllRek and Field1..Field20.
// Each file is written under a temporary name and renamed into place, so an
// interrupted build never leaves half a template behind.

#include "store/DbaseTable.h"
#include "store/SqliteTable.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

bool Publish(const QString &temporary, const QString &final)
{
    QFile::remove(final);
    return QFile::rename(temporary, final);
}

bool Fail(const QString &what, const QString &error)
{
    std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(what), qPrintable(error));
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <program folder>\n", argv[0]);
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(folder)) {
        Fail(folder, QStringLiteral("cannot create the folder"));
        return 1;
    }

    bool ok = true;
    QString error;
    const QString mdb = folder + QStringLiteral("/mdb2.mdb");
    const QString mdbTemporary = mdb + QStringLiteral(".new");
    if (!vx::SqliteTable::Create(mdbTemporary, QString::fromLatin1(vx::TargetLayout::SqliteTable), &error)
        || !Publish(mdbTemporary, mdb))
        ok = Fail(mdb, error);

    for (const char *name : {"db3.dbf", "db4.dbf", "db5.dbf"}) {
        const QString dbf = folder + QLatin1Char('/') + QLatin1String(name);
        const QString dbfTemporary = dbf + QStringLiteral(".new");
        if (!vx::DbaseTable::Create(dbfTemporary, &error) || !Publish(dbfTemporary, dbf))
            ok = Fail(dbf, error);
    }
    return ok ? 0 : 1;
}

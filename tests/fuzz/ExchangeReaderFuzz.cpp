// The data-exchange reader on arbitrary value files and value names. The
// input gives the root (one of the seven, an unknown one or none), a key
// path, the name a value file is stored under, the name asked for, and the
// file's contents:
//
//   byte 0: root selector; then three texts, each a length byte and the
//   bytes (key path, stored name, wanted name); the rest is the contents.
//
// Besides never crashing, the reader must never leave the exchange tree (a
// file beside it holds a secret that no read may return), must give the
// default for an empty root, an unusable key path or name, and must return
// the contents (less one trailing line end) when the wanted name is the
// stored one up to blanks around it, and the default for contents longer
// than the limit.
#include "collector/RegistryExchange.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

QTemporaryDir *g_dir = nullptr;
const QByteArray kSecret = "secret value outside the exchange tree";
const QString kDefault = QStringLiteral("<default>");

const char *const kRoots[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_CONFIG", "HKEY_CURRENT_USER",
                              "HKEY_DYN_DATA",     "HKEY_LOCAL_MACHINE",  "HKEY_PERFORMANCE_DATA",
                              "HKEY_USERS",        "HKEY_SOMETHING_ELSE", ""};

QString base()
{
    return g_dir->path() + QStringLiteral("/tree");
}

// One length-prefixed text of the input.
QByteArray take(const std::uint8_t *&p, const std::uint8_t *end)
{
    if (p >= end)
        return {};
    const std::size_t wanted = *p++;
    const std::size_t n = std::min(wanted, std::size_t(end - p));
    QByteArray text(reinterpret_cast<const char *>(p), qsizetype(n));
    p += n;
    return text;
}

bool usableName(const QString &name)
{
    const QString n = name.trimmed();
    return !n.isEmpty() && n != QLatin1String(".") && n != QLatin1String("..") && !n.contains(QLatin1Char('/'))
           && !n.contains(QChar(0));
}

[[noreturn]] void fail(const char *what, const QString &detail)
{
    std::fprintf(stderr, "exchange reader fuzz: %s: %s\n", what, detail.toUtf8().toPercentEncoding(" ").constData());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    const QString where = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/vx-fuzz-XXXXXX")
                                                                    : QDir::tempPath() + "/vx-fuzz-XXXXXX";
    // Static, so it is removed when the run ends normally.
    static QTemporaryDir dir(where);
    g_dir = &dir;
    qputenv("VENDRIX_HOME", QFile::encodeName(g_dir->path()));
    qputenv("VENDRIX_EXCHANGE", QFile::encodeName(base()));
    // Secrets beside the tree and beside each root: a read that climbs out
    // of its key would find them.
    for (const QString &folder : {g_dir->path(), base()}) {
        QDir().mkpath(folder);
        for (const char *name : {"secret", "Vendrix.ini", "ID(1)"}) {
            QFile f(folder + QLatin1Char('/') + QLatin1String(name));
            if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
                f.write(kSecret);
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t *p = data;
    const std::uint8_t *end = data + size;
    const QString root = QLatin1String(kRoots[*p++ % (sizeof kRoots / sizeof kRoots[0])]);
    const QString keyPath = QString::fromUtf8(take(p, end));
    const QString storedName = QString::fromUtf8(take(p, end));
    const QString wantedName = QString::fromUtf8(take(p, end));
    const QByteArray contents(reinterpret_cast<const char *>(p), qsizetype(end - p));

    // A fresh tree holding one value file, when the key path and the stored
    // name make a place for it inside the tree.
    QDir(base()).removeRecursively();
    const QString mapped =
        root.isEmpty() || root == QLatin1String("HKEY_SOMETHING_ELSE") ? QStringLiteral("HKEY_LOCAL_MACHINE") : root;
    QStringList levels;
    bool pathUsable = true;
    for (const QString &raw : keyPath.split(QLatin1Char('\\'))) {
        const QString part = raw.trimmed();
        if (part.isEmpty())
            continue;
        if (part == QLatin1String(".") || part == QLatin1String("..") || part.contains(QLatin1Char('/'))
            || part.contains(QChar(0)) || part.toUtf8().size() > 255)
            pathUsable = false;
        levels << part;
    }
    QString folder = base() + QLatin1Char('/') + mapped;
    for (const QString &level : levels)
        folder += QLatin1Char('/') + level;
    bool stored = false;
    if (pathUsable && usableName(storedName) && !storedName.contains(QChar(0)) && storedName.toUtf8().size() <= 255
        && QDir().mkpath(folder)) {
        QFile f(folder + QLatin1Char('/') + storedName);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            f.write(contents);
            stored = true;
        }
    }

    const QString value = vx::RegistryExchange::ReadRegistryValue(root, keyPath, wantedName, kDefault);

    if (value == QString::fromUtf8(kSecret) && contents != kSecret)
        fail("a read left the exchange tree", keyPath + QStringLiteral(" | ") + wantedName);
    if (root.isEmpty() || !pathUsable || !usableName(wantedName)) {
        if (value != kDefault && !(pathUsable && usableName(wantedName)))
            fail("an unusable key path or name gave a value", keyPath + QStringLiteral(" | ") + wantedName);
        if (root.isEmpty() && value != kDefault)
            fail("an empty root gave a value", wantedName);
        return 0;
    }
    if (stored && storedName.trimmed() == wantedName.trimmed()
        && contents.size() > vx::RegistryExchange::kMaxValueBytes) {
        if (value != kDefault)
            fail("a value longer than the limit was read", storedName);
    } else if (stored && storedName.trimmed() == wantedName.trimmed()) {
        QByteArray expected = contents;
        if (expected.endsWith("\r\n"))
            expected.chop(2);
        else if (expected.endsWith('\n'))
            expected.chop(1);
        if (value != QString::fromUtf8(expected))
            fail("the stored value reads back differently", storedName + QStringLiteral(" -> ") + value);
    } else if (!stored || storedName.trimmed() != wantedName.trimmed()) {
        if (value != kDefault)
            fail("a value that is not there was found", wantedName + QStringLiteral(" -> ") + value);
    }
    return 0;
}

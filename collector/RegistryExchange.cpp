#include "RegistryExchange.h"

#include "Messenger.h"
#include "Paths.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStringList>

namespace vx::RegistryExchange {

namespace {

const char *const kRoots[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_CONFIG", "HKEY_CURRENT_USER",
                              "HKEY_DYN_DATA", "HKEY_LOCAL_MACHINE", "HKEY_PERFORMANCE_DATA",
                              "HKEY_USERS"};

bool isRoot(const QString &name)
{
    for (const char *root : kRoots)
        if (name == QLatin1String(root))
            return true;
    return false;
}

// The key path as folder levels below the root; empty levels are skipped.
// Nothing when a level would leave the tree ("..", ".") or holds a "/".
bool keyLevels(const QString &keyPath, QStringList *levels)
{
    levels->clear();
    const QStringList parts = keyPath.split(QLatin1Char('\\'));
    for (const QString &raw : parts) {
        const QString part = raw.trimmed();
        if (part.isEmpty())
            continue;
        if (part == QLatin1String(".") || part == QLatin1String("..") || part.contains(QLatin1Char('/'))
            || part.contains(QChar(0)))
            return false;
        levels->append(part);
    }
    return true;
}

QString keyFolder(const QString &root, const QStringList &levels)
{
    QString folder = BaseFolder() + QLatin1Char('/') + root;
    for (const QString &level : levels)
        folder += QLatin1Char('/') + level;
    return folder;
}

bool validValueName(const QString &name)
{
    const QString n = name.trimmed();
    return !n.isEmpty() && n != QLatin1String(".") && n != QLatin1String("..")
           && !n.contains(QLatin1Char('/')) && !n.contains(QChar(0));
}

QString readValueFile(const QString &path, bool *found)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *found = false;
        return {};
    }
    *found = true;
    QByteArray bytes = file.readAll();
    if (bytes.endsWith("\r\n"))
        bytes.chop(2);
    else if (bytes.endsWith('\n'))
        bytes.chop(1);
    return QString::fromUtf8(bytes);
}

} // namespace

QString BaseFolder()
{
    const QString fromEnv = qEnvironmentVariable("VENDRIX_EXCHANGE");
    if (!fromEnv.isEmpty())
        return fromEnv;
    return Paths::dataDir() + QStringLiteral("/exchange");
}

QString ReadRegistryValue(const QString &root, const QString &keyPath, const QString &name,
                          const QString &defaultValue)
{
    if (root.isEmpty())
        return defaultValue;
    const QString mapped = isRoot(root) ? root : QStringLiteral("HKEY_LOCAL_MACHINE");
    QStringList levels;
    if (!keyLevels(keyPath, &levels) || !validValueName(name))
        return defaultValue;
    const QString folder = keyFolder(mapped, levels);
    const QString wanted = name.trimmed();

    // The usual case: a file named exactly like the value.
    bool found = false;
    QString value = readValueFile(folder + QLatin1Char('/') + wanted, &found);
    if (found)
        return value;
    // Names stored with blanks around them match too.
    const QStringList entries = QDir(folder).entryList(QDir::Files | QDir::Hidden);
    QString result = defaultValue;
    for (const QString &entry : entries) {
        if (entry.trimmed() != wanted)
            continue;
        value = readValueFile(folder + QLatin1Char('/') + entry, &found);
        if (found)
            result = value;
    }
    return result;
}

bool WriteRegistryValue(const QString &root, const QString &keyPath, const QString &name,
                        const QString &text, Messenger &messenger)
{
    QStringList levels;
    const bool usable = isRoot(root) && keyLevels(keyPath, &levels) && validValueName(name);
    const QString folder = usable ? keyFolder(root, levels) : QString();
    if (!usable || !QDir().mkpath(folder)) {
        messenger.message(QStringLiteral("Error opening or creating registry key"), MsgIcon::None);
        return false;
    }
    QSaveFile file(folder + QLatin1Char('/') + name.trimmed());
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(text.toUtf8());
    return file.commit();
}

} // namespace vx::RegistryExchange

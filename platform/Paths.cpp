#include "Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace vx::Paths {

namespace {

QString homeOverride()
{
    return qEnvironmentVariable("VENDRIX_HOME");
}

// Creates the folder the first time it is asked for (and again if it was
// removed meanwhile), without touching the disk on every call.
QString ensured(const QString &dir)
{
    static QString last;
    if (dir != last || !QFileInfo::exists(dir)) {
        QDir().mkpath(dir);
        last = dir;
    }
    return dir;
}

} // namespace

QString programDir()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QDir::currentPath();
}

QString configDir()
{
    const QString home = homeOverride();
    if (!home.isEmpty())
        return ensured(home);
    return ensured(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                   + QStringLiteral("/Vendrix"));
}

QString dataDir()
{
    const QString home = homeOverride();
    if (!home.isEmpty())
        return ensured(home);
    return ensured(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                   + QStringLiteral("/Vendrix"));
}

QString settingsFile()
{
    return configDir() + QStringLiteral("/Vendrix.ini");
}

QString portsFile()
{
    return configDir() + QStringLiteral("/ports.ini");
}

QString dataFile(const QString &name)
{
    return dataDir() + QLatin1Char('/') + name;
}

QString comDevice(int n)
{
    if (n < 1 || n > 9)
        return {};
    const QString fromEnv = qEnvironmentVariable(qPrintable(QStringLiteral("VENDRIX_COM%1").arg(n)));
    if (!fromEnv.isEmpty())
        return fromEnv;
    QFile ports(portsFile());
    if (ports.open(QIODevice::ReadOnly)) {
        const QByteArray wanted = QStringLiteral("com%1").arg(n).toLatin1();
        while (!ports.atEnd()) {
            const QByteArray line = ports.readLine().trimmed();
            const int eq = line.indexOf('=');
            if (eq > 0 && line.left(eq).trimmed().toLower() == wanted) {
                const QByteArray device = line.mid(eq + 1).trimmed();
                if (!device.isEmpty())
                    return QString::fromLocal8Bit(device);
            }
        }
    }
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
}

QString comDevice(const QString &port)
{
    const QString p = port.trimmed();
    if (p.size() != 4 || !p.startsWith(QLatin1String("com"), Qt::CaseInsensitive))
        return {};
    const QChar digit = p.at(3);
    if (!digit.isDigit())
        return {};
    return comDevice(digit.digitValue());
}

} // namespace vx::Paths

#include "platform/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <sys/stat.h>

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

QString &programDirOverride()
{
    static QString dir;
    return dir;
}

} // namespace

void setProgramDir(const QString &dir)
{
    programDirOverride() = dir;
}

QString programDir()
{
    if (!programDirOverride().isEmpty())
        return programDirOverride();
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
    return ensured(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Vendrix"));
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

QString comDeviceProblem(const QString &device)
{
    struct stat st {};
    if (::stat(QFile::encodeName(device).constData(), &st) != 0 || S_ISCHR(st.st_mode))
        return {};
    QString kind = QStringLiteral("not a character device");
    if (S_ISREG(st.st_mode))
        kind = QStringLiteral("a regular file");
    else if (S_ISDIR(st.st_mode))
        kind = QStringLiteral("a folder");
    else if (S_ISFIFO(st.st_mode))
        kind = QStringLiteral("a FIFO");
    else if (S_ISBLK(st.st_mode))
        kind = QStringLiteral("a block device");
    else if (S_ISSOCK(st.st_mode))
        kind = QStringLiteral("a socket");
    return QStringLiteral("%1 is %2, not a serial device").arg(device, kind);
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

#include "collector/ConfigCheck.h"

#include "collector/Collector.h"
#include "collector/PortList.h"
#include "platform/Paths.h"
#include "settings/IniStore.h"
#include "settings/Settings.h"
#include "settings/SettingsCheck.h"
#include "settings/TargetKinds.h"
#include "store/PostgresTarget.h"
#include "transport/PortAccess.h"

#include <QDir>
#include <QFileInfo>
#include <QTextStream>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace vx {

namespace {

bool isTcp(const ChannelSettings &c)
{
    return c.ConnType.trimmed() == QLatin1String("TCP");
}

bool portIsNone(const QString &port)
{
    return port.trimmed().compare(QLatin1String("None"), Qt::CaseInsensitive) == 0;
}

QString tcpAddressText(const ChannelSettings &c)
{
    return QStringList{c.IP1.trimmed(), c.IP2.trimmed(), c.IP3.trimmed(), c.IP4.trimmed()}.join(QLatin1Char('.'))
           + QLatin1Char(':') + c.IP5.trimmed();
}

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// The device of a serial channel: there, a character device, and one this
// user may open.
void checkPort(int n, const ChannelSettings &c, QStringList &problems)
{
    const QString device = Paths::comDevice(c.Port);
    if (device.isEmpty())
        return; // an unknown Port is a finding of its own
    const QString where = QStringLiteral("[%1] Port=%2").arg(ComSection(n), c.Port);
    const QString comN = c.Port.trimmed();
    if (!QFileInfo::exists(device)) {
        problems << QStringLiteral(
                        "%1 maps to %2, which does not exist. Connect the device, or map %3 to a port that is "
                        "there (VENDRIX_%4 or the %3= line of %5); \"vendrix ports\" lists the ports present.")
                        .arg(where, device, comN, comN.toUpper(), Paths::portsFile());
        return;
    }
    const QString notPort = Paths::comDeviceProblem(device);
    if (!notPort.isEmpty()) {
        problems << QStringLiteral("%1 maps to %2: %3").arg(where, device, notPort);
        return;
    }
    const QString permission = PortPermissionProblem(device);
    if (!permission.isEmpty())
        problems << QStringLiteral("%1 maps to %2: %3").arg(where, device, permission);
}

// A file target: its folder is there and writable, and so is the file when
// it exists. The ERP database must exist (the program ends without it).
void checkTarget(int n, const StoreSettings &t, bool reachServers, QStringList &problems)
{
    const QString type = t.Type.trimmed();
    const QString where = QStringLiteral("[%1] Name=%2").arg(DbmsSection(n), t.Name);
    if (TargetNameOf(type) == TargetName::ServerConnection) {
        const QString error = PostgresTarget::ConnInfoError(t.Name);
        if (!error.isEmpty()) {
            problems << QStringLiteral("[%1] Name: %2").arg(DbmsSection(n), error);
            return;
        }
        if (!reachServers)
            return;
        const QString why = PostgresTarget::Reach(t.Name);
        if (!why.isEmpty())
            problems << QStringLiteral("[%1] Name: the PostgreSQL server %2 cannot be reached: %3")
                            .arg(DbmsSection(n), PostgresTarget::Describe(t.Name), why);
        return;
    }
    const QString name = t.Name.trimmed();
    if (name.isEmpty()) {
        problems << QStringLiteral("[%1] Name is empty: the channel's records have no target.").arg(DbmsSection(n));
        return;
    }
    const QFileInfo file(name);
    if (TargetNameOf(type) == TargetName::ErpDatabase) {
        if (!file.isFile())
            problems << QStringLiteral("%1: the ERP database does not exist; the collector ends at its first record.")
                            .arg(where);
        return;
    }
    const QString folder = file.absolutePath();
    const QByteArray folderBytes = QFile::encodeName(folder);
    if (!QFileInfo(folder).isDir()) {
        problems << QStringLiteral("%1: the folder %2 does not exist. Create it or choose another target.")
                        .arg(where, folder);
        return;
    }
    if (::access(folderBytes.constData(), W_OK | X_OK) != 0) {
        problems
            << QStringLiteral("%1: the folder %2 is not writable for this user (%3).").arg(where, folder, errnoText());
        return;
    }
    if (file.exists() && !file.isFile()) {
        problems << QStringLiteral("%1: not a regular file.").arg(where);
        return;
    }
    if (file.exists() && ::access(QFile::encodeName(name).constData(), W_OK) != 0)
        problems << QStringLiteral("%1: the file is not writable for this user (%2).").arg(where, errnoText());
}

} // namespace

bool ChannelInUse(const ChannelSettings &c)
{
    return isTcp(c) || !portIsNone(c.Port);
}

QString ChannelOpensText(const ChannelSettings &c)
{
    if (isTcp(c))
        return QStringLiteral("TCP ") + tcpAddressText(c);
    const QString device = Paths::comDevice(c.Port);
    // A kind the program does not know opens as a serial port.
    const QString type = c.ConnType.trimmed();
    const QString kind = AcceptedValues(QStringLiteral("ConnType")).contains(type) ? type : QStringLiteral("Serial");
    return QStringLiteral("%1 %2%3 %4")
        .arg(kind, c.Port.trimmed(), device.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(device),
             LineSettingsText(c));
}

QString ChannelStoresText(const StoreSettings &t)
{
    const QString type = t.Type.trimmed();
    if (TargetNameOf(type) == TargetName::ServerConnection)
        return type + QLatin1Char(' ') + PostgresTarget::Describe(t.Name);
    if (t.Type == TargetTypes().constFirst()) // plain text: the file says it all
        return t.Name;
    return QStringLiteral("%1 (%2)").arg(t.Name, type);
}

QString ChannelSummary(int n, const Settings &s)
{
    return QStringLiteral("channel %1: %2 → %3").arg(n).arg(ChannelOpensText(s.Com[n]), ChannelStoresText(s.DBMS[n]));
}

namespace {

// The folders the system service's sandbox lets the collector write: the
// user's config and data folders, as the unit binds them (its own HOME, not
// VENDRIX_HOME, which the unit does not set).
QStringList ServiceWritableFolders()
{
    const QString home = QDir::homePath();
    return {home + QStringLiteral("/.config/Vendrix"), home + QStringLiteral("/.local/share/Vendrix")};
}

// A file target outside those folders: the service run by vendrix@.service
// finds it read-only until a drop-in adds its folder.
void noteOutsideService(int n, const StoreSettings &t, QStringList &notes)
{
    if (TargetNameOf(t.Type) == TargetName::ServerConnection || t.Name.trimmed().isEmpty())
        return;
    const QString folder = QFileInfo(t.Name.trimmed()).absolutePath();
    const QStringList allowed = ServiceWritableFolders();
    for (const QString &a : allowed)
        if (folder == a || folder.startsWith(a + QLatin1Char('/')))
            return;
    const bool underHome = folder == QStringLiteral("/home") || folder.startsWith(QStringLiteral("/home/"));
    notes << QStringLiteral(
                 "[%1] Name=%2 is outside the folders the system service (vendrix@.service) may write "
                 "(%3): run as that service, the channel's records are refused until a drop-in "
                 "(systemctl edit vendrix@USER.service) adds \"[Service]\" and \"%4=%5\".")
                 .arg(DbmsSection(n), t.Name.trimmed(), allowed.join(QStringLiteral(", ")),
                      underHome ? QStringLiteral("BindPaths") : QStringLiteral("ReadWritePaths"), folder);
}

} // namespace

ConfigReport CheckConfiguration(const IniStore &store, const Settings &s, ConfigCheckOptions options)
{
    ConfigReport report;
    const QString fileProblem = store.problem();
    if (!fileProblem.isEmpty())
        report.problems << fileProblem;
    for (const SettingFinding &f : UnknownSettingValues(s))
        report.problems << f.text();
    report.problems << SettingsRangeProblems(s);
    for (int n = 1; n <= 4; ++n) {
        const ChannelSettings &c = s.Com[n];
        if (!ChannelInUse(c))
            continue;
        report.channels << ChannelSummary(n, s);
        if (!isTcp(c))
            checkPort(n, c, report.problems);
        checkTarget(n, s.DBMS[n], options.reachServers, report.problems);
        noteOutsideService(n, s.DBMS[n], report.notes);
    }
    if (report.channels.isEmpty())
        report.problems << QStringLiteral(
            "No channel is in use: every [Com(n)] has Port=None and none has ConnType=TCP, so no record can arrive.");
    return report;
}

int ConfigCheckCommand(const QString &file, QTextStream &out)
{
    const QString path = file.isEmpty() ? Paths::settingsFile() : file;
    out << "Settings: " << path << "\n";
    if (!file.isEmpty() && !QFileInfo(path).isFile()) {
        out << "Problem: " << path << " is not a file that exists.\n";
        return 1;
    }
    if (file.isEmpty() && !QFileInfo::exists(path))
        out << "(the file does not exist yet: the defaults are checked)\n";
    const IniStore store(path);
    Settings settings = Settings::defaults();
    ReadSettings(store, settings);
    const ConfigReport report = CheckConfiguration(store, settings);
    for (const QString &line : report.channels)
        out << line << "\n";
    for (const QString &note : report.notes)
        out << "Note: " << note << "\n";
    if (report.ok()) {
        out << "No problems found.\n";
        return 0;
    }
    out << report.problems.size() << (report.problems.size() == 1 ? " problem:\n" : " problems:\n");
    for (const QString &p : report.problems)
        out << "  " << p << "\n";
    return 1;
}

QList<Command> SettingsCheckCommands()
{
    Command check;
    check.words = QStringLiteral("config check");
    check.summary = QStringLiteral("check the settings without starting anything");
    check.description = QStringLiteral(
        "Reads Vendrix.ini (or FILE) without starting anything or writing to it, prints per channel in use "
        "what it opens and where it stores, and every problem with its section, key and value: unknown "
        "values, numbers out of range, a ComN that maps to no device present, a target folder that is missing "
        "or not writable, a PostgreSQL target that cannot be reached. Exit code 0 when all is well, 1 otherwise.");
    check.arguments = {{QStringLiteral("[FILE]"), QStringLiteral("the settings file (default: Vendrix.ini of the "
                                                                 "config folder)")}};
    check.run = [](CommandCall &call) {
        QTextStream out(stdout);
        return ConfigCheckCommand(call.argument(0), out);
    };

    Command ports;
    ports.words = QStringLiteral("ports");
    ports.summary = QStringLiteral("list the serial ports present and what Com1 ... Com9 name");
    ports.description = QStringLiteral(
        "Lists the serial ports the system has now (device, description, maker, serial number, stable name) "
        "and what each ComN names: VENDRIX_COM<N>, else the ComN= line of ports.ini, else /dev/ttyS<N-1>.");
    ports.run = [](CommandCall &) {
        QTextStream out(stdout);
        return PortsCommand(out);
    };
    return {check, ports};
}

} // namespace vx

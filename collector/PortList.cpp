#include "collector/PortList.h"

#include "platform/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSerialPortInfo>
#include <QTextStream>

namespace vx {

namespace {

const char *const kById = "/dev/serial/by-id";

// The ComN= lines of ports.ini, by number (empty where none); the first
// line that names a device counts, as for the opening of the port.
std::vector<QString> portsFileLines()
{
    std::vector<QString> devices(10);
    QFile file(Paths::portsFile());
    if (!file.open(QIODevice::ReadOnly))
        return devices;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine(4096).trimmed();
        const int eq = line.indexOf('=');
        const QByteArray key = line.left(eq).trimmed().toLower();
        if (eq > 0 && key.size() == 4 && key.startsWith("com") && key.at(3) >= '1' && key.at(3) <= '9') {
            QString &device = devices[size_t(key.at(3) - '0')];
            if (device.isEmpty())
                device = QFile::decodeName(line.mid(eq + 1).trimmed());
        }
    }
    return devices;
}

QString canonical(const QString &path)
{
    const QString c = QFileInfo(path).canonicalFilePath();
    return c.isEmpty() ? path : c;
}

} // namespace

std::vector<PresentPort> PresentPorts()
{
    // The stable names, by the device each one leads to.
    QDir byId(QString::fromLatin1(kById));
    std::vector<std::pair<QString, QString>> stable;
    for (const QFileInfo &link : byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name))
        stable.emplace_back(canonical(link.absoluteFilePath()), link.absoluteFilePath());

    std::vector<PresentPort> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        PresentPort p;
        p.device = info.systemLocation();
        for (const auto &[target, name] : stable) {
            if (target == canonical(p.device)) {
                p.stableName = name;
                break;
            }
        }
        p.description = info.description();
        p.manufacturer = info.manufacturer();
        p.serialNumber = info.serialNumber();
        ports.push_back(p);
    }
    return ports;
}

std::vector<ComMapping> ComMap()
{
    const std::vector<QString> lines = portsFileLines();
    std::vector<ComMapping> map;
    for (int n = 1; n <= 9; ++n) {
        ComMapping m;
        m.number = n;
        m.device = Paths::comDevice(n);
        if (qEnvironmentVariableIsSet(QStringLiteral("VENDRIX_COM%1").arg(n).toLatin1().constData()))
            m.source = QStringLiteral("VENDRIX_COM%1").arg(n);
        else if (!lines[size_t(n)].isEmpty())
            m.source = QStringLiteral("ports.ini");
        else
            m.source = QStringLiteral("default");
        map.push_back(m);
    }
    return map;
}

int MapPortToCom(const PresentPort &port, QString *error)
{
    const QString name = port.stableName.isEmpty() ? port.device : port.stableName;
    const std::vector<ComMapping> map = ComMap();
    for (const ComMapping &m : map) {
        if (m.device == name || canonical(m.device) == canonical(port.device))
            return m.number;
    }
    int free = 0;
    for (const ComMapping &m : map) {
        if (m.source == QLatin1String("default") && !QFileInfo::exists(m.device)) {
            free = m.number;
            break;
        }
    }
    if (free == 0) {
        *error =
            QStringLiteral("Every Com1 ... Com9 names a port already; edit %1 to free one.").arg(Paths::portsFile());
        return 0;
    }
    // ports.ini with the new line added; its other lines kept as they are.
    QByteArray content;
    QFile old(Paths::portsFile());
    if (old.exists()) {
        if (!old.open(QIODevice::ReadOnly) || old.size() > 1024 * 1024) {
            *error = QStringLiteral("The port map %1 cannot be read: %2; nothing was changed.")
                         .arg(old.fileName(), old.errorString());
            return 0;
        }
        content = old.readAll();
        if (!content.isEmpty() && !content.endsWith('\n'))
            content.append('\n');
    }
    content += QStringLiteral("Com%1=%2\n").arg(free).arg(name).toUtf8();
    QDir().mkpath(Paths::configDir());
    QSaveFile out(Paths::portsFile());
    if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size() || !out.commit()) {
        *error = QStringLiteral("The port map %1 cannot be written: %2; the port was not mapped.")
                     .arg(out.fileName(), out.errorString());
        return 0;
    }
    return free;
}

int PortsCommand(QTextStream &out)
{
    const std::vector<PresentPort> ports = PresentPorts();
    out << "Serial ports present:\n";
    if (ports.empty())
        out << "  (none)\n";
    for (const PresentPort &p : ports) {
        out << "  " << p.device;
        QStringList about;
        for (const QString &part : {p.description, p.manufacturer})
            if (!part.isEmpty())
                about << part;
        if (!p.serialNumber.isEmpty())
            about << QStringLiteral("serial number %1").arg(p.serialNumber);
        if (!about.isEmpty())
            out << "  " << about.join(QStringLiteral(", "));
        if (!p.stableName.isEmpty())
            out << "\n      " << p.stableName;
        out << "\n";
    }
    out << "ComN map (" << Paths::portsFile() << "):\n";
    for (const ComMapping &m : ComMap()) {
        out << "  Com" << m.number << " = " << m.device << "  (" << m.source;
        if (!QFileInfo::exists(m.device))
            out << ", not present";
        out << ")\n";
    }
    return 0;
}

} // namespace vx

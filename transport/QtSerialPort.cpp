#include "transport/QtSerialPort.h"

#include "platform/FileLock.h"
#include "platform/Paths.h"
#include "transport/PortAccess.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace vx {

namespace {

// What the port holds at most, received and not yet taken.
constexpr qint64 kMaxHeld = 1024 * 1024;

// One NUL-terminated text per byte value: Input() with InputLen 1 hands out
// one of these without allocating, since it runs once per received character.

struct SingleCharTexts {
    char text[256][2];
    SingleCharTexts()
    {
        for (int i = 0; i < 256; ++i) {
            text[i][0] = static_cast<char>(i);
            text[i][1] = '\0';
        }
    }
};
const SingleCharTexts singleChars;

QByteArray singleChar(char c)
{
    return QByteArray::fromRawData(singleChars.text[static_cast<unsigned char>(c)], 1);
}

speed_t standardSpeed(qint32 speed)
{
    switch (speed) {
    case 50:
        return B50;
    case 75:
        return B75;
    case 110:
        return B110;
    case 134:
        return B134;
    case 150:
        return B150;
    case 200:
        return B200;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 1800:
        return B1800;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 500000:
        return B500000;
    case 576000:
        return B576000;
    case 921600:
        return B921600;
    case 1000000:
        return B1000000;
    case 1152000:
        return B1152000;
    case 1500000:
        return B1500000;
    case 2000000:
        return B2000000;
    case 2500000:
        return B2500000;
    case 3000000:
        return B3000000;
    case 3500000:
        return B3500000;
    case 4000000:
        return B4000000;
    default:
        return B0;
    }
}

bool isPseudoTerminal(int fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    // The terminal ends of Unix98 pseudo-terminals (/dev/pts/N).
    const unsigned int maj = major(st.st_rdev);
    return maj >= 136 && maj <= 143;
}

// What the device kept differently from line, or empty when it took all of
// it. Speeds outside the standard table are not read back; nor are data
// bits and parity on a pseudo-terminal, which has neither.
QString keptDifference(int fd, const SerialLineSettings &line, bool pseudoTerminal)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return {};
    const speed_t wanted = standardSpeed(line.speed);
    if (wanted != B0 && cfgetospeed(&t) != wanted)
        return QStringLiteral("speed %1 not taken").arg(line.speed);
    int bits = 8;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        bits = 5;
        break;
    case CS6:
        bits = 6;
        break;
    case CS7:
        bits = 7;
        break;
    default:
        bits = 8;
        break;
    }
    if (!pseudoTerminal && bits != int(line.dataBits))
        return QStringLiteral("it keeps %1 data bits").arg(bits);
    const bool parity = t.c_cflag & PARENB;
    const bool odd = t.c_cflag & PARODD;
    const bool sticky = t.c_cflag & CMSPAR;
    bool parityKept = false;
    switch (line.parity) {
    case QSerialPort::NoParity:
        parityKept = !parity;
        break;
    case QSerialPort::EvenParity:
        parityKept = parity && !odd && !sticky;
        break;
    case QSerialPort::OddParity:
        parityKept = parity && odd && !sticky;
        break;
    case QSerialPort::MarkParity:
        parityKept = parity && odd && sticky;
        break;
    case QSerialPort::SpaceParity:
        parityKept = parity && !odd && sticky;
        break;
    }
    if (!pseudoTerminal && !parityKept)
        return QStringLiteral("parity not taken");
    const bool two = t.c_cflag & CSTOPB;
    if (two != (line.stopBits == QSerialPort::TwoStop))
        return QStringLiteral("stop bits not taken");
    return {};
}

// Whether another opener holds the device's lock (taken below at every
// opening). Looked at read-only, after the opening itself was refused.
bool deviceLockedElsewhere(const QString &device)
{
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool locked = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return locked;
}

// Whether this process has the device open already (another channel).
bool openedHere(const QString &device)
{
    const QString real = QFileInfo(device).canonicalFilePath();
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
        if (QFileInfo(fds.filePath(fd)).symLinkTarget() == real)
            return true;
    }
    return false;
}

// Why a port that another opener keeps is refused, naming that opener: the
// collector of this data folder, another process, or another channel of
// this one. Empty when nobody is found and the refusal is not known to be
// a holder's (the plain error then says what happened).
QString inUseText(int commPort, const QString &device, bool held)
{
    const QString port = QStringLiteral("Com%1 (%2)").arg(commPort).arg(device);
    if (openedHere(device))
        return QStringLiteral("%1 is in use by another channel of this program.").arg(port);
    const qint64 collector = FileLock::InstanceHolder(Paths::dataFile(QStringLiteral("Vendrix.lock")));
    const PortHolder holder = FindPortHolder(device);
    if (holder.pid > 0 && holder.pid == collector)
        return QStringLiteral(
                   "%1 is in use by another program: the collector running on this data folder (PID %2) "
                   "holds it; close its channel or stop it first.")
            .arg(port)
            .arg(collector);
    if (holder.pid > 0)
        return QStringLiteral("%1 is in use by PID %2%3: close that program or choose another port.")
            .arg(port)
            .arg(holder.pid)
            .arg(holder.program.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(holder.program));
    if (!held)
        return {};
    return QStringLiteral("%1 is in use by another program.").arg(port);
}

} // namespace

bool parseSerialSettings(const QString &text, SerialLineSettings *out, QString *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    QStringList parts = text.split(QLatin1Char(','));
    for (QString &part : parts)
        part = part.trimmed();
    // "1,5" stop bits: the decimal comma makes two parts of one value.
    if (parts.size() == 5 && parts.at(3) == QLatin1String("1") && parts.at(4) == QLatin1String("5")) {
        parts[3] = QStringLiteral("1.5");
        parts.removeLast();
    }
    if (parts.size() != 4)
        return fail(QStringLiteral("expected speed, parity, data bits and stop bits separated by commas"));

    SerialLineSettings line;
    bool ok = false;
    const qint64 speed = parts.at(0).toLongLong(&ok);
    if (!ok || speed <= 0 || speed > 0x7fffffff)
        return fail(QStringLiteral("the speed \"%1\" is not a number of bits per second").arg(parts.at(0)));
    line.speed = static_cast<qint32>(speed);

    const QString parity = parts.at(1).toUpper();
    if (parity == QLatin1String("N"))
        line.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("O"))
        line.parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("E"))
        line.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("M"))
        line.parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("S"))
        line.parity = QSerialPort::SpaceParity;
    else
        return fail(QStringLiteral("the parity \"%1\" is none of N, O, E, M, S").arg(parts.at(1)));

    const int dataBits = parts.at(2).toInt(&ok);
    if (!ok || dataBits < 5 || dataBits > 8)
        return fail(QStringLiteral("%1 data bits are not supported (5 to 8)").arg(parts.at(2)));
    line.dataBits = static_cast<QSerialPort::DataBits>(dataBits);

    const QString stop = parts.at(3);
    if (stop == QLatin1String("1")) {
        line.stopBits = QSerialPort::OneStop;
    } else if (stop == QLatin1String("2")) {
        line.stopBits = QSerialPort::TwoStop;
    } else if (stop == QLatin1String("1.5")) {
        if (dataBits != 5)
            return fail(QStringLiteral("1,5 stop bits need 5 data bits"));
        // A UART sends 1.5 stop bits when asked for two in 5-bit mode.
        line.stopBits = QSerialPort::TwoStop;
    } else {
        return fail(QStringLiteral("the stop bits \"%1\" are none of 1, 1,5, 2").arg(stop));
    }
    *out = line;
    return true;
}

QtSerialPort::QtSerialPort(QObject *parent) : SerialPort(parent), m_port(new QSerialPort(this))
{
    connect(m_port, &QSerialPort::readyRead, this, &QtSerialPort::onReadyRead);
    connect(m_port, &QSerialPort::errorOccurred, this, &QtSerialPort::onPortError);
}

QtSerialPort::~QtSerialPort()
{
    if (m_open)
        setPortOpen(false);
}

void QtSerialPort::setCommPort(int port)
{
    if (m_open)
        qWarning().noquote() << QStringLiteral("Com%1 is open: the port number %2 takes effect at the next opening.")
                                    .arg(m_commPort)
                                    .arg(port);
    m_commPort = port;
}

void QtSerialPort::setSettings(const QString &settings)
{
    m_settings = settings;
    if (!m_open)
        return;
    SerialLineSettings line;
    QString why;
    if (!parseSerialSettings(settings, &line, &why) || !applyLineSettings(line)) {
        if (!why.isEmpty())
            m_error = QStringLiteral("Com%1 (%2): the settings \"%3\" are refused: %4.")
                          .arg(m_commPort)
                          .arg(m_device, settings, why);
        qWarning().noquote() << m_error;
    }
}

void QtSerialPort::setHandshaking(int mode)
{
    m_handshaking = mode;
    if (m_open)
        applyFlowControl();
}

void QtSerialPort::setRTSEnable(bool on)
{
    m_rts = on;
    if (m_open)
        applyModemLines();
}

void QtSerialPort::setDTREnable(bool on)
{
    m_dtr = on;
    if (m_open)
        applyModemLines();
}

bool QtSerialPort::applyLineSettings(const SerialLineSettings &line)
{
    // A pseudo-terminal always carries 8-bit bytes without parity (the
    // kernel forces it): there is no wire for data bits or parity to act on.
    const bool ok = m_port->setBaudRate(line.speed)
                    && (m_pseudoTerminal || (m_port->setDataBits(line.dataBits) && m_port->setParity(line.parity)))
                    && m_port->setStopBits(line.stopBits);
    // Leaving mark or space parity for even or odd must drop the sticky
    // parity flag too.
    if (ok && !m_pseudoTerminal && line.parity != QSerialPort::MarkParity && line.parity != QSerialPort::SpaceParity) {
        termios t{};
        if (tcgetattr(m_port->handle(), &t) == 0 && (t.c_cflag & CMSPAR)) {
            t.c_cflag &= ~CMSPAR;
            tcsetattr(m_port->handle(), TCSANOW, &t);
        }
    }
    if (!ok) {
        m_error = QStringLiteral("Com%1 (%2): the settings \"%3\" are refused by the device: %4.")
                      .arg(m_commPort)
                      .arg(m_device, m_settings, m_port->errorString());
        m_port->clearError();
    }
    return ok;
}

void QtSerialPort::applyFlowControl()
{
    QSerialPort::FlowControl flow = QSerialPort::NoFlowControl;
    if (m_handshaking == 1)
        flow = QSerialPort::SoftwareControl;
    else if (m_handshaking >= 2) // 3 (both) has no Qt equivalent: RTS/CTS covers it
        flow = QSerialPort::HardwareControl;
    if (!m_port->setFlowControl(flow)) {
        qWarning().noquote() << QStringLiteral("Com%1 (%2): handshaking %3 is refused: %4")
                                    .arg(m_commPort)
                                    .arg(m_device)
                                    .arg(m_handshaking)
                                    .arg(m_port->errorString());
        m_port->clearError();
    }
    applyModemLines();
}

void QtSerialPort::applyModemLines()
{
    // Pseudo-terminals and some adapters have no modem lines; the port works
    // without them, so a refusal is not an error. Under RTS/CTS handshaking
    // the driver owns RTS.
    if (m_port->flowControl() != QSerialPort::HardwareControl)
        m_port->setRequestToSend(m_rts);
    m_port->setDataTerminalReady(m_dtr);
    m_port->clearError();
}

bool QtSerialPort::setPortOpen(bool open)
{
    if (!open) {
        if (m_open) {
            // Let what was queued last leave before the port goes.
            if (m_port->bytesToWrite() > 0) {
                m_port->flush();
                if (m_port->bytesToWrite() > 0)
                    m_port->waitForBytesWritten(500);
            }
            m_open = false;
            m_port->close();
            m_port->clearError();
        }
        m_commEvent = 0;
        return true;
    }
    if (m_open)
        return true;

    m_error.clear();
    m_device = Paths::comDevice(m_commPort);
    if (m_device.isEmpty()) {
        m_error = QStringLiteral("Com%1 is not a serial port (ports are Com1 to Com9).").arg(m_commPort);
        return false;
    }
    // Only a character device is opened read-write: a ComN mapped to a
    // regular file (or a FIFO, a block device) is never touched.
    const QString problem = Paths::comDeviceProblem(m_device);
    if (!problem.isEmpty()) {
        m_error = QStringLiteral(
                      "Com%1 is refused: %2; map Com%1 to a serial device (\"vendrix ports\" lists the ports "
                      "present).")
                      .arg(m_commPort)
                      .arg(problem);
        return false;
    }
    SerialLineSettings line;
    QString why;
    if (!parseSerialSettings(m_settings, &line, &why)) {
        m_error = QStringLiteral("Com%1 (%2): the settings \"%3\" are refused: %4.")
                      .arg(m_commPort)
                      .arg(m_device, m_settings, why);
        return false;
    }
    m_port->setPortName(m_device);
    // What arrives is held up to a bound; past it the port is not read until
    // the collector has taken what waits (it stops taking while a record's
    // answer is pending), so a flooding peer never grows the memory.
    m_port->setReadBufferSize(kMaxHeld);
    if (!m_port->open(QIODevice::ReadWrite)) {
        // Qt's own lock file of the device refuses a second opener: say who.
        // A user outside the device's group (dialout) is told so, and how
        // to mend it, rather than a bare "permission denied".
        // Qt reports another program's lock file or exclusive mode as a
        // permission error too: the holder is looked for and named.
        const bool permissionError = m_port->error() == QSerialPort::PermissionError;
        const QString permission = permissionError ? PortPermissionProblem(m_device) : QString();
        const QString inUse = permissionError && permission.isEmpty()
                                  ? inUseText(m_commPort, m_device, deviceLockedElsewhere(m_device))
                                  : QString();
        if (!inUse.isEmpty())
            m_error = inUse;
        else if (m_port->error() == QSerialPort::DeviceNotFoundError)
            m_error = QStringLiteral(
                          "Com%1 (%2) does not exist: connect the device, or map Com%1 to a port that is "
                          "there (\"vendrix ports\" lists the ports present).")
                          .arg(m_commPort)
                          .arg(m_device);
        else
            m_error = QStringLiteral("Com%1 (%2) cannot be opened: %3.")
                          .arg(m_commPort)
                          .arg(m_device, permission.isEmpty() ? m_port->errorString() : permission);
        m_port->clearError();
        return false;
    }
    // One program at a time on a line (root passes the kernel's exclusive
    // mode): a second opener, a settings transfer started beside a running
    // collector say, is refused at once instead of stealing its characters.
    if (::flock(m_port->handle(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        m_port->close();
        m_port->clearError();
        m_error = inUseText(m_commPort, m_device, true);
        return false;
    }
    m_pseudoTerminal = isPseudoTerminal(m_port->handle());
    if (!applyLineSettings(line)) {
        m_port->close();
        m_port->clearError();
        return false;
    }
    // A driver may quietly keep part of its old line settings (an adapter
    // without 5-bit or mark parity support, say): read back what it kept.
    const QString kept = keptDifference(m_port->handle(), line, m_pseudoTerminal);
    if (!kept.isEmpty()) {
        m_error = QStringLiteral("Com%1 (%2): the settings \"%3\" are refused by the device (%4).")
                      .arg(m_commPort)
                      .arg(m_device, m_settings, kept);
        m_port->close();
        m_port->clearError();
        return false;
    }
    m_open = true;
    m_consumed = 0;
    m_commEvent = 0;
    applyFlowControl();
    return true;
}

qint64 QtSerialPort::receivedTotal() const
{
    return m_consumed + m_port->bytesAvailable();
}

QByteArray QtSerialPort::Input()
{
    if (!m_open)
        return {};
    if (m_inputLen == 1) {
        char c;
        if (!m_port->getChar(&c))
            return {};
        ++m_consumed;
        return singleChar(c);
    }
    const QByteArray text = m_inputLen == 0 ? m_port->readAll() : m_port->read(m_inputLen);
    m_consumed += text.size();
    return text;
}

void QtSerialPort::Output(const QByteArray &text)
{
    if (!m_open) {
        qWarning().noquote()
            << QStringLiteral("Com%1 is not open: %2 characters not sent.").arg(m_commPort).arg(text.size());
        return;
    }
    m_port->write(text);
    // Hand it to the driver now rather than at the next event loop turn: an
    // answer should leave as soon as it is decided.
    m_port->flush();
}

int QtSerialPort::InBufferCount() const
{
    return m_open ? static_cast<int>(m_port->bytesAvailable()) : 0;
}

void QtSerialPort::setInBufferCount(int count)
{
    if (!m_open || count != 0)
        return;
    m_consumed += m_port->bytesAvailable();
    m_port->clear(QSerialPort::Input);
}

int QtSerialPort::OutBufferCount() const
{
    if (!m_open)
        return 0;
    qint64 pending = m_port->bytesToWrite();
    // Characters the driver holds but the line has not sent yet.
    int queued = 0;
    if (ioctl(m_port->handle(), TIOCOUTQ, &queued) == 0 && queued > 0)
        pending += queued;
    return static_cast<int>(pending);
}

void QtSerialPort::onReadyRead()
{
    if (m_rThreshold > 0)
        raiseReceive();
}

void QtSerialPort::raiseReceive()
{
    m_reraiseQueued = false;
    if (!m_open || m_raising || m_port->bytesAvailable() == 0)
        return;
    const qint64 receivedBefore = receivedTotal();
    const qint64 consumedBefore = m_consumed;
    QPointer<QtSerialPort> self(this);
    m_raising = true;
    m_commEvent = comEvReceive;
    emit OnComm();
    if (!self)
        return;
    m_raising = false;
    if (!m_open || m_port->bytesAvailable() == 0 || m_reraiseQueued)
        return;
    if (receivedTotal() > receivedBefore || m_consumed > consumedBefore) {
        m_reraiseQueued = true;
        QMetaObject::invokeMethod(this, &QtSerialPort::raiseReceive, Qt::QueuedConnection);
    }
}

void QtSerialPort::onPortError(QSerialPort::SerialPortError error)
{
    if (!m_open)
        return;
    if (error == QSerialPort::ReadError) {
        // A line that hung up (the far end of a pseudo-terminal gone) reads
        // as end of file again and again: only a closed port stops that.
        pollfd p{m_port->handle(), POLLIN, 0};
        if (poll(&p, 1, 0) <= 0 || !(p.revents & (POLLHUP | POLLERR | POLLNVAL)))
            return;
    } else if (error != QSerialPort::ResourceError) {
        return;
    }
    // The device went away (an adapter unplugged): the port is closed so
    // the program sees it as such.
    const QString why = error == QSerialPort::ReadError ? QStringLiteral("the line hung up") : m_port->errorString();
    m_error = QStringLiteral("Com%1 (%2) stopped working: %3.").arg(m_commPort).arg(m_device, why);
    qWarning().noquote() << m_error;
    m_open = false;
    m_port->close();
    m_port->clearError();
    emit Failed(m_error);
}

} // namespace vx

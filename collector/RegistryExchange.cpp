#include "collector/RegistryExchange.h"

#include "platform/Messenger.h"
#include "platform/Paths.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx::RegistryExchange {

namespace {

const char *const kRoots[] = {"HKEY_CLASSES_ROOT",  "HKEY_CURRENT_CONFIG",   "HKEY_CURRENT_USER", "HKEY_DYN_DATA",
                              "HKEY_LOCAL_MACHINE", "HKEY_PERFORMANCE_DATA", "HKEY_USERS"};

std::function<void(const QString &)> g_log;
// Path -> why it is refused, for the values and key folders refused now.
QHash<QString, QString> g_refused;

void logLine(const QString &line)
{
    if (g_log)
        g_log(line);
    else
        qWarning().noquote() << line;
}

// Notes the state of one value or key folder; a change is logged once.
void noteRefusal(const QString &path, const QString &why)
{
    const auto it = g_refused.constFind(path);
    if (why.isEmpty()) {
        if (it == g_refused.constEnd())
            return;
        g_refused.remove(path);
        logLine(QStringLiteral("Data exchange: %1 is used again").arg(path));
        return;
    }
    if (it != g_refused.constEnd() && it.value() == why)
        return;
    g_refused.insert(path, why);
    logLine(QStringLiteral("Data exchange: %1 ignored: %2").arg(path, why));
}

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
    Fd &operator=(Fd &&o) noexcept
    {
        if (this != &o) {
            reset();
            m_fd = o.m_fd;
            o.m_fd = -1;
        }
        return *this;
    }
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

int retryOpenAt(int dirFd, const QByteArray &name, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::openat(dirFd, name.constData(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

QString errnoText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

QString typeName(mode_t mode)
{
    if (S_ISLNK(mode))
        return QStringLiteral("a symbolic link");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    return QStringLiteral("not a regular file");
}

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

bool validValueName(const QString &name)
{
    const QString n = name.trimmed();
    return !n.isEmpty() && n != QLatin1String(".") && n != QLatin1String("..") && !n.contains(QLatin1Char('/'))
           && !n.contains(QChar(0));
}

// Opens the key folder: the base folder (which the administrator chose, so
// it may be a link), then the root and each level, none of them a link.
// create makes missing levels. Returns an invalid Fd with *why set when a
// level is refused, and without it when the key is simply missing.
Fd openKey(const QString &base, const QString &root, const QStringList &levels, bool create, QString *refusedPath,
           QString *why)
{
    if (create)
        QDir().mkpath(base);
    Fd dir(retryOpenAt(AT_FDCWD, QFile::encodeName(base), O_RDONLY | O_DIRECTORY));
    if (!dir.valid()) {
        if (create) {
            *refusedPath = base;
            *why = errnoText(errno);
        }
        return Fd();
    }
    QStringList parts{root};
    parts += levels;
    QString path = base;
    for (const QString &part : parts) {
        path += QLatin1Char('/') + part;
        const QByteArray native = QFile::encodeName(part);
        if (create && ::mkdirat(dir.get(), native.constData(), 0755) != 0 && errno != EEXIST) {
            *refusedPath = path;
            *why = errnoText(errno);
            return Fd();
        }
        Fd next(retryOpenAt(dir.get(), native, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
        if (!next.valid()) {
            const int code = errno;
            if (code == ENOENT && !create)
                return Fd();
            struct stat st {};
            *refusedPath = path;
            if (::fstatat(dir.get(), native.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode))
                *why = QStringLiteral("the key folder is %1").arg(typeName(st.st_mode));
            else
                *why = errnoText(code);
            return Fd();
        }
        dir = std::move(next);
    }
    return dir;
}

enum class ValueState { Missing, Read, Refused };

// Reads one value file of the open key folder: a regular file of at most
// kMaxValueBytes, opened without following a link and without waiting.
ValueState readValueFile(int keyFd, const QString &entry, QString *text, QString *why)
{
    const QByteArray native = QFile::encodeName(entry);
    struct stat st {};
    if (::fstatat(keyFd, native.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return ValueState::Missing;
    if (!S_ISREG(st.st_mode)) {
        *why = typeName(st.st_mode);
        return ValueState::Refused;
    }
    if (st.st_size > kMaxValueBytes) {
        *why = QStringLiteral("longer than %1 bytes").arg(kMaxValueBytes);
        return ValueState::Refused;
    }
    Fd fd(retryOpenAt(keyFd, native, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY));
    if (!fd.valid()) {
        if (errno == ENOENT)
            return ValueState::Missing;
        *why = errnoText(errno);
        return ValueState::Refused;
    }
    // It may have been swapped for something else since the look above.
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = typeName(st.st_mode);
        return ValueState::Refused;
    }
    QByteArray bytes(kMaxValueBytes + 1, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + got, size_t(bytes.size() - got));
        if (n < 0 && (errno == EINTR))
            continue;
        if (n < 0) {
            *why = errnoText(errno);
            return ValueState::Refused;
        }
        if (n == 0)
            break;
        got += n;
    }
    if (got > kMaxValueBytes) {
        *why = QStringLiteral("longer than %1 bytes").arg(kMaxValueBytes);
        return ValueState::Refused;
    }
    bytes.truncate(got);
    if (bytes.endsWith("\r\n"))
        bytes.chop(2);
    else if (bytes.endsWith('\n'))
        bytes.chop(1);
    *text = QString::fromUtf8(bytes);
    return ValueState::Read;
}

QString valueIn(int key, const QString &folder, const QString &name, bool *found);

// Reads the values of names under one key, opened once; found[i] tells
// whether value i was there and usable.
QStringList readValues(const QString &root, const QString &keyPath, const QStringList &names, QList<bool> *found)
{
    QStringList values(names.size());
    found->fill(false, names.size());
    const QString mapped = isRoot(root) ? root : QStringLiteral("HKEY_LOCAL_MACHINE");
    QStringList levels;
    if (!keyLevels(keyPath, &levels))
        return values;
    QString refusedPath;
    QString why;
    const QString base = BaseFolder();
    Fd key = openKey(base, mapped, levels, false, &refusedPath, &why);
    if (!why.isEmpty()) {
        noteRefusal(refusedPath, why);
        return values;
    }
    // Key folders refused before and usable (or gone) now.
    QString folder = base + QLatin1Char('/') + mapped;
    if (!g_refused.isEmpty()) {
        noteRefusal(folder, QString());
        for (const QString &level : levels)
            noteRefusal(folder += QLatin1Char('/') + level, QString());
    } else {
        for (const QString &level : levels)
            folder += QLatin1Char('/') + level;
    }
    if (!key.valid())
        return values;
    for (qsizetype i = 0; i < names.size(); ++i) {
        bool there = false;
        if (validValueName(names[i]))
            values[i] = valueIn(key.get(), folder, names[i], &there);
        (*found)[i] = there;
    }
    return values;
}

// The value name in the open key folder (whose path is folder).
QString valueIn(int key, const QString &folder, const QString &name, bool *found)
{
    *found = false;
    const QString wanted = name.trimmed();
    auto take = [&](const QString &entry, QString *text) {
        QString reason;
        const ValueState state = readValueFile(key, entry, text, &reason);
        noteRefusal(folder + QLatin1Char('/') + entry, state == ValueState::Refused ? reason : QString());
        return state;
    };

    // The usual case: a file named exactly like the value.
    QString text;
    const ValueState exact = take(wanted, &text);
    if (exact == ValueState::Read) {
        *found = true;
        return text;
    }
    if (exact == ValueState::Refused)
        return {};
    // Names stored with blanks around them match too.
    const int listFd = ::dup(key);
    DIR *dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        return {};
    }
    QString result;
    while (const dirent *e = ::readdir(dir)) {
        const QString entry = QFile::decodeName(e->d_name);
        if (entry == QLatin1String(".") || entry == QLatin1String("..") || entry.trimmed() != wanted || entry == wanted)
            continue;
        QString value;
        if (take(entry, &value) == ValueState::Read) {
            result = value;
            *found = true;
        }
    }
    ::closedir(dir);
    return result;
}

} // namespace

QString BaseFolder()
{
    const QString fromEnv = qEnvironmentVariable("VENDRIX_EXCHANGE");
    if (!fromEnv.isEmpty())
        return fromEnv;
    return Paths::dataDir() + QStringLiteral("/exchange");
}

void SetLog(std::function<void(const QString &)> log)
{
    g_log = std::move(log);
}

QString ReadRegistryValue(const QString &root, const QString &keyPath, const QString &name, const QString &defaultValue)
{
    if (root.isEmpty())
        return defaultValue;
    return ReadRegistryValues(root, keyPath, {name}, defaultValue).constFirst();
}

QStringList ReadRegistryValues(const QString &root, const QString &keyPath, const QStringList &names,
                               const QString &defaultValue)
{
    if (root.isEmpty())
        return QStringList(names.size(), defaultValue);
    QList<bool> found;
    QStringList values = readValues(root, keyPath, names, &found);
    for (qsizetype i = 0; i < values.size(); ++i)
        if (!found[i])
            values[i] = defaultValue;
    return values;
}

bool WriteRegistryValue(const QString &root, const QString &keyPath, const QString &name, const QString &text,
                        Messenger &messenger)
{
    static const QString kError = QStringLiteral("Error opening or creating registry key");
    QStringList levels;
    if (!isRoot(root) || !keyLevels(keyPath, &levels) || !validValueName(name)) {
        messenger.message(kError, MsgIcon::None);
        return false;
    }
    QString refusedPath;
    QString why;
    Fd key = openKey(BaseFolder(), root, levels, true, &refusedPath, &why);
    if (!key.valid()) {
        noteRefusal(refusedPath, why);
        messenger.message(kError, MsgIcon::None);
        return false;
    }
    // A new file beside the old one, then renamed over it: a reader sees the
    // old text or the new one, never a part; a link in the value's place is
    // replaced, not followed.
    const QByteArray target = QFile::encodeName(name.trimmed());
    static unsigned counter = 0;
    const QByteArray temp =
        "." + target + ".tmp." + QByteArray::number(qint64(::getpid())) + "." + QByteArray::number(++counter);
    Fd fd(retryOpenAt(key.get(), temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644));
    if (!fd.valid())
        return false;
    const QByteArray bytes = text.toUtf8();
    qsizetype done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += n;
    }
    ok = ok && ::fsync(fd.get()) == 0;
    fd.reset();
    if (ok && ::renameat(key.get(), temp.constData(), key.get(), target.constData()) == 0)
        return true;
    ::unlinkat(key.get(), temp.constData(), 0);
    return false;
}

QString ResolveExchangeFile(const QString &value, QString *refusal)
{
    refusal->clear();
    if (value.isEmpty())
        return {};
    QString why;
    if (!SafeOnWire(value, &why)) {
        *refusal = QStringLiteral("the file name holds %1").arg(why);
        return {};
    }
    QString path;
    if (QDir::isAbsolutePath(value)) {
        path = QDir::cleanPath(value);
    } else {
        const QString relative = QDir::cleanPath(value);
        if (relative == QLatin1String("..") || relative.startsWith(QLatin1String("../"))) {
            *refusal = QStringLiteral("a relative name must stay inside the exchange folder %1").arg(BaseFolder());
            return {};
        }
        path = BaseFolder() + QLatin1Char('/') + relative;
    }
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) == 0 && !S_ISREG(st.st_mode)) {
        *refusal = QStringLiteral("%1 is %2").arg(path, typeName(st.st_mode));
        return {};
    }
    return path;
}

QString ReadExchangeFile(const QString &root, const QString &keyPath, const QString &name)
{
    const QString value = ReadRegistryValue(root, keyPath, name, QString());
    QString refusal;
    const QString path = ResolveExchangeFile(value, &refusal);
    // Noted under the value's name, so a change of the value shows once.
    QString where = BaseFolder() + QLatin1Char('/') + (isRoot(root) ? root : QStringLiteral("HKEY_LOCAL_MACHINE"));
    QStringList levels;
    if (keyLevels(keyPath, &levels))
        for (const QString &level : levels)
            where += QLatin1Char('/') + level;
    where += QLatin1Char('/') + name.trimmed() + QStringLiteral(" (the file it names)");
    noteRefusal(where, refusal.isEmpty() ? QString()
                                         : refusal + QStringLiteral("; the records go to the channel's own target"));
    return path;
}

bool SafeOnWire(const QString &text, QString *why)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
            if (why) {
                if (c == '\r')
                    *why = QStringLiteral("a carriage return");
                else if (c == '\n')
                    *why = QStringLiteral("a line feed");
                else
                    *why = QStringLiteral("the control character %1").arg(int(c));
            }
            return false;
        }
    }
    return true;
}

} // namespace vx::RegistryExchange

// The C source export: the profile lines as the built-in default settings of
// a terminal program.
#include "profiles/ProfileFile.h"

#include "platform/OwnFiles.h"
#include "platform/Paths.h"

#include <QFile>
#include <QLocale>
#include <QSaveFile>
#include <cstdio>

namespace vx {

namespace {

// One item as a C string literal body. Backslash and double quote are
// escaped; control characters and bytes above 126 are written as three-digit
// octal escapes (so the source is plain ASCII and no escape runs into the
// next character); a "?" after a "?" is escaped so no trigraph forms.
QByteArray cString(const QByteArray &item)
{
    QByteArray out;
    out.reserve(item.size() + 8);
    char previous = 0;
    for (const char ch : item) {
        const auto byte = static_cast<unsigned char>(ch);
        if (ch == '\\' || ch == '"') {
            out += '\\';
            out += ch;
        } else if (ch == '?' && previous == '?') {
            out += "\\?";
        } else if (byte < 32 || byte > 126) {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", byte);
            out += octal;
        } else {
            out += ch;
        }
        previous = ch;
    }
    return out;
}

// The lines of a file, without their ends (CR LF, LF or CR).
QList<QByteArray> splitLines(const QByteArray &content)
{
    QList<QByteArray> lines;
    int start = 0;
    const int size = int(content.size());
    for (int i = 0; i < size; ++i) {
        if (content[i] == '\r' || content[i] == '\n') {
            lines.append(content.mid(start, i - start));
            if (content[i] == '\r' && i + 1 < size && content[i + 1] == '\n')
                ++i;
            start = i + 1;
        }
    }
    if (start < size)
        lines.append(content.mid(start));
    return lines;
}

} // namespace

QByteArray SettingsSourceText(const QList<QByteArray> &items, const QDateTime &stamp)
{
    const QLocale locale = QLocale::system();
    QByteArray out;
    out += "//\r\n";
    out += "// settings.c   default settings for Vendrix.\r\n";
    out += "// same format of rx/tx file (with no CRC32)\r\n";
    out += "// TimeStamp : " + locale.toString(stamp.date(), QLocale::ShortFormat).toLatin1() + " - "
           + locale.toString(stamp.time(), QLocale::LongFormat).toLatin1() + "\r\n";
    out += "//\r\n";
    out += "char *defaultSettings[] =\r\n";
    out += "{\r\n";
    for (const QByteArray &item : items)
        out += '"' + cString(item) + "\",\r\n";
    out += "\"\"\r\n";
    out += "};\r\n";
    out += "int TotalSettings()\r\n";
    out += "{\r\n";
    out += "    return sizeof(defaultSettings) / sizeof(char *);\r\n";
    out += "}\r\n";
    return out;
}

bool SettingsSourceExport(const ProfileSet &set, const QString &path, const QDateTime &stamp, QString *error)
{
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    const QString tempPath = Paths::dataFile(QStringLiteral("vdxtmp.c"));
    // Made afresh and exclusively: a link or FIFO planted under the name is
    // removed, never written through.
    QString why;
    const int fd = CreateOwnFile(tempPath, 0600, &why);
    if (fd < 0)
        return fail(tempPath + QStringLiteral(": ") + why);

    struct RemoveTemp {
        QString path;
        ~RemoveTemp() { QFile::remove(path); }
    } removeTemp{tempPath};

    {
        QFile temp;
        if (!temp.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle))
            return fail(tempPath + QStringLiteral(": ") + temp.errorString());
        const QByteArray content = ProfileFileContent(set);
        if (temp.write(content) != content.size() || !temp.flush())
            return fail(tempPath + QStringLiteral(": ") + temp.errorString());
    }

    // Read back as a regular file only, bounded (what was written is far
    // below the bound).
    const BoundedRead back = ReadRegularFile(tempPath, qint64(64) * 1024 * 1024);
    if (!back.ok)
        return fail(tempPath + QStringLiteral(": ") + back.error);
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return fail(path + QStringLiteral(": ") + out.errorString());
    const QByteArray text = SettingsSourceText(splitLines(back.content), stamp);
    if (out.write(text) != text.size() || !out.commit()) {
        out.cancelWriting();
        return fail(path + QStringLiteral(": ") + out.errorString());
    }
    return true;
}

} // namespace vx

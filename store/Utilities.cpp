#include "Utilities.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

namespace vx {

bool FileExists(const QString &path)
{
    if (path.isEmpty() || QFileInfo(path).isDir())
        return false;
    QFile file(path);
    return file.open(QIODevice::ReadOnly);
}

bool CanOpenForAppend(const QString &path)
{
    if (path.isEmpty() || QFileInfo(path).isDir())
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append);
}

SplitPathResult SplitPath(const QString &path)
{
    SplitPathResult r;
    const int i = path.lastIndexOf(QLatin1Char('/'));
    if (i >= 0) {
        r.found = true;
        r.folder = path.left(i + 1);
        r.file = path.mid(i + 1);
    }
    return r;
}

SplitRecordFields SplitRecord(const QByteArray &record, const QByteArray &separator)
{
    SplitRecordFields fields;
    fields[0] = record;
    std::size_t j = 1;
    const bool single = separator.size() == 1;
    const char sep = single ? separator.at(0) : '\0';
    for (const char c : record) {
        if (single && c == sep && j < fields.size() - 1) {
            ++j;
        } else {
            fields[j] += c;
        }
    }
    return fields;
}

QByteArray ReplaceAll(const QByteArray &text, const QByteArray &search, const QByteArray &replacement)
{
    if (search.isEmpty())
        return text;
    QByteArray out;
    out.reserve(text.size());
    int from = 0;
    while (true) {
        const int at = text.indexOf(search, from);
        if (at < 0)
            break;
        out += text.mid(from, at - from);
        out += replacement;
        from = at + search.size();
    }
    out += text.mid(from);
    return out;
}

QString TimeStampedName(const QString &name, const QTime &time)
{
    const QString stamp = time.toString(QStringLiteral("HHmmss"));
    const int keep = qMax(0, name.size() - 4);
    return name.left(keep) + QLatin1Char('_') + stamp + name.mid(keep);
}

QString UniqueTimeStampedName(const QString &name, const QTime &time)
{
    const QString stamped = TimeStampedName(name, time);
    if (!QFileInfo::exists(stamped))
        return stamped;
    const int keep = qMax(0, stamped.size() - 4);
    for (int counter = 2;; ++counter) {
        const QString candidate = stamped.left(keep) + QLatin1Char('_') + QString::number(counter)
                                  + stamped.mid(keep);
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
}

void WaitSeconds(double seconds)
{
    if (seconds <= 0.0 || !QCoreApplication::instance())
        return;
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000.0 + 0.5), Qt::PreciseTimer, &loop,
                       &QEventLoop::quit);
    loop.exec();
}

QByteArray XorChecksum(const QByteArray &text)
{
    unsigned char x = 0;
    for (const char c : text)
        x ^= static_cast<unsigned char>(c);
    static const char digits[] = "0123456789ABCDEF";
    const char out[2] = {digits[x >> 4], digits[x & 0x0F]};
    return QByteArray(out, 2);
}

QString FieldValue(const QVariant &field)
{
    if (field.isNull() || !field.isValid())
        return {};
    return field.toString();
}

} // namespace vx

#include "store/RecordText.h"

#include <QFileInfo>

#include <algorithm>

namespace vx {

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

void SplitRecordInto(QByteArrayView record, QByteArrayView separator, SplitRecordViews *out)
{
    // Field 0 is the whole record; fields 1..20 the parts between single-
    // character separators, the last one taking the rest, separators and
    // all. A part without characters stays a null value.
    SplitRecordViews &fields = *out;
    fields.fill(QByteArrayView());
    fields[0] = record;
    if (separator.size() != 1) {
        if (!record.isEmpty())
            fields[1] = record;
        return;
    }
    const char sep = separator.front();
    qsizetype start = 0;
    for (std::size_t j = 1; j < fields.size(); ++j) {
        const qsizetype at = j + 1 < fields.size() ? record.indexOf(sep, start) : -1;
        const qsizetype end = at < 0 ? record.size() : at;
        if (end > start)
            fields[j] = record.sliced(start, end - start);
        if (at < 0)
            break;
        start = at + 1;
    }
}

SplitRecordFields SplitRecord(const QByteArray &record, const QByteArray &separator)
{
    SplitRecordViews views;
    SplitRecordInto(record, separator, &views);
    SplitRecordFields fields;
    fields[0] = record;
    for (std::size_t j = 1; j < fields.size(); ++j)
        if (!views[j].isNull())
            fields[j] = views[j].toByteArray();
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
        const QString candidate = stamped.left(keep) + QLatin1Char('_') + QString::number(counter) + stamped.mid(keep);
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
}

namespace {

// The characters of the bytes 0x80 to 0x9F; the undefined ones keep their
// own number.
constexpr char16_t kWindows1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                           0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                           0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                           0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

} // namespace

QString FromWindows1252(QByteArrayView bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    QChar *out = text.data();
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        *out++ = (b >= 0x80 && b < 0xA0) ? QChar(kWindows1252High[b - 0x80]) : QChar(b);
    }
    return text;
}

QByteArray Windows1252ToUtf8(QByteArrayView bytes)
{
    for (const char c : bytes)
        if (static_cast<unsigned char>(c) > 127)
            return FromWindows1252(bytes).toUtf8();
    return bytes.toByteArray();
}

QByteArray ToWindows1252(const QString &text)
{
    QByteArray bytes(text.size(), Qt::Uninitialized);
    char *out = bytes.data();
    for (const QChar ch : text) {
        const char16_t u = ch.unicode();
        char b = '?';
        if (u < 0x80 || (u >= 0xA0 && u < 0x100)) {
            b = static_cast<char>(u);
        } else {
            for (int i = 0; i < 32; ++i)
                if (kWindows1252High[i] == u)
                    b = static_cast<char>(0x80 + i);
        }
        *out++ = b;
    }
    return bytes;
}

QString EscapeControls(const QString &text, bool keepLineBreaks)
{
    auto control = [keepLineBreaks](char16_t u) {
        if (keepLineBreaks && (u == '\t' || u == '\r' || u == '\n'))
            return false;
        return u < 0x20 || (u >= 0x7F && u < 0xA0);
    };
    if (std::none_of(text.cbegin(), text.cend(), [&](QChar c) { return control(c.unicode()); }))
        return text;
    QString escaped;
    escaped.reserve(text.size() + 8);
    for (const QChar c : text) {
        if (control(c.unicode()))
            escaped += QStringLiteral("\\x%1").arg(int(c.unicode()), 2, 16, QLatin1Char('0'));
        else
            escaped += c;
    }
    return escaped;
}

} // namespace vx

#include "transfer/SettingsLine.h"

#include "platform/OwnFiles.h"

namespace vx {

char SettingsCheckByte(const QByteArray &text)
{
    int sum = 0;
    for (const char c : text) {
        sum += static_cast<unsigned char>(c);
        if (sum > 254)
            sum -= 255;
    }
    if (sum == 13 || sum == 0)
        sum = 1;
    return static_cast<char>(sum);
}

QByteArray FrameSettingsLine(const QByteArray &text)
{
    QByteArray framed;
    framed.reserve(text.size() + 2);
    framed += text;
    framed += SettingsCheckByte(text);
    framed += '\r';
    return framed;
}

QList<QByteArray> SettingsItems(const QByteArray &content)
{
    QList<QByteArray> items;
    QByteArray item;
    bool open = false; // an item has begun on the current line
    const qsizetype n = content.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = content.at(i);
        if (c == '\r' || c == '\n') {
            items << item;
            item.clear();
            open = false;
            if (c == '\r' && i + 1 < n && content.at(i + 1) == '\n')
                ++i;
        } else if (c == ',') {
            items << item;
            item.clear();
            open = true; // the part after the comma is an item even when empty
        } else {
            item += c;
            open = true;
        }
    }
    if (open)
        items << item;
    return items;
}

bool ReadSettingsItems(const QString &path, QList<QByteArray> *items)
{
    // A regular file only, bounded: the received settings file holds at most
    // a profile's bytes plus a line feed per line.
    const BoundedRead file = ReadRegularFile(path, qint64(4) * 1024 * 1024);
    if (!file.ok)
        return false;
    *items = SettingsItems(file.content);
    return true;
}

QByteArray SettingsItemKey(const QByteArray &item)
{
    const qsizetype eq = item.indexOf('=');
    return eq < 0 ? item : item.left(eq);
}

QByteArray TrimBlankBytes(const QByteArray &text)
{
    qsizetype from = 0;
    qsizetype to = text.size();
    while (from < to && text.at(from) == ' ')
        ++from;
    while (to > from && text.at(to - 1) == ' ')
        --to;
    return text.mid(from, to - from);
}

} // namespace vx

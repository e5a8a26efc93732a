#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>
#include <cstring>

namespace vx {

// The check characters of a record line between terminal and collector:
// the exclusive or of all its character codes, as two upper-case
// hexadecimal digits. Inline, so a terminal simulator uses them without
// linking anything of the program.

// The exclusive or of all the bytes of text (what XorChecksum writes in hex).
inline unsigned char XorOf(QByteArrayView text)
{
    // Eight bytes at a time, folded at the end.
    const char *p = text.data();
    qsizetype left = text.size();
    quint64 wide = 0;
    for (; left >= 8; p += 8, left -= 8) {
        quint64 word;
        std::memcpy(&word, p, 8);
        wide ^= word;
    }
    wide ^= wide >> 32;
    wide ^= wide >> 16;
    wide ^= wide >> 8;
    unsigned char x = static_cast<unsigned char>(wide);
    for (; left > 0; ++p, --left)
        x ^= static_cast<unsigned char>(*p);
    return x;
}

// The two check characters of a record ("abc" gives "60").
inline QByteArray XorChecksum(QByteArrayView text)
{
    const unsigned char x = XorOf(text);
    static const char digits[] = "0123456789ABCDEF";
    const char out[2] = {digits[x >> 4], digits[x & 0x0F]};
    return QByteArray(out, 2);
}

} // namespace vx

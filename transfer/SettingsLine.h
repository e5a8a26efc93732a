#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace vx {

// Lines of the settings transfer between PC and terminal.
//
// On the wire a line is its text, one check byte and a carriage return. The
// check byte is the byte sum of the text modulo 255, with 0 and 13 replaced
// by 1, so it is never NUL and never a carriage return.
char SettingsCheckByte(const QByteArray &text);
// text + check byte + CR.
QByteArray FrameSettingsLine(const QByteArray &text);

// The protocol words that frame a settings stream.
inline constexpr char kSettingsWord[] = "SETTINGS";
inline constexpr char kBofWord[] = "BOF";
inline constexpr char kEofWord[] = "EOF";

// A settings text read as a sequence of items: an item ends at a comma or at
// the end of a line (CR LF, LF or a lone CR), so a line holding commas gives
// one item per comma-separated part, without the commas. Blanks and double
// quotes are kept as they are. An empty line gives one empty item; the line
// end after the last line gives none.
QList<QByteArray> SettingsItems(const QByteArray &content);

// The items of a file; false when it cannot be read.
bool ReadSettingsItems(const QString &path, QList<QByteArray> *items);

// The key of an item: the text before its first "=", the whole item when it
// has none.
QByteArray SettingsItemKey(const QByteArray &item);

// "   abc  " -> "abc": blanks (spaces) only, as infrared reads are taken.
QByteArray TrimBlankBytes(const QByteArray &text);

} // namespace vx

#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QTime>
#include <array>

namespace vx {

// The text and name rules of the record store: a record's bytes as
// characters, a record's fields, the CSV separator's replacement, a
// target's time-stamped name and a dBase target's folder and table.

// Record text. A terminal sends single bytes in the Windows-1252 code page;
// where text is stored as characters (SQLite, a UTF-8 PostgreSQL database,
// the ERP tables, the log, the window) each byte becomes its Windows-1252
// character, and the five bytes that code page leaves undefined (0x81,
// 0x8D, 0x8F, 0x90, 0x9D) the control character of the same number, so
// every byte has exactly one character and the bytes can be had back.
QString FromWindows1252(QByteArrayView bytes);
// The same as UTF-8 (ASCII as it is, without a copy of the work).
QByteArray Windows1252ToUtf8(QByteArrayView bytes);
// The way back; a character that has no byte becomes "?".
QByteArray ToWindows1252(const QString &text);

// Text fit for the log: every control character (below 32, 127, and 128 to
// 159) written as \xNN (a NUL as \x00), so the log stays text. keepLineBreaks
// leaves tab, CR and LF as they are (the program's own messages).
QString EscapeControls(const QString &text, bool keepLineBreaks = false);

// Slot 0 holds the whole record, slots 1 to 21 its fields.
using SplitRecordFields = std::array<QByteArray, 22>;
// Splits a record at every character equal to the whole separator text: a
// separator of more or less than one character never matches, and the whole
// record lands in slot 1. Consecutive separators give empty fields. Text
// after the 20th separator stays in slot 21, separators included.
SplitRecordFields SplitRecord(const QByteArray &record, const QByteArray &separator);
// The same split as views into the record (valid while the record is): a
// field without characters is a null view. Nothing is copied.
using SplitRecordViews = std::array<QByteArrayView, 22>;
void SplitRecordInto(QByteArrayView record, QByteArrayView separator, SplitRecordViews *fields);

// Every occurrence of search (exact, from the left, not searched again)
// replaced by replacement; an empty search leaves the text unchanged.
QByteArray ReplaceAll(const QByteArray &text, const QByteArray &search, const QByteArray &replacement);

// The name without its last 4 characters (taken to be the extension with its
// dot), "_", the time as HHMMSS, then those 4 characters:
// /data/VdxPC.txt at 14:05:09 gives /data/VdxPC_140509.txt.
QString TimeStampedName(const QString &name, const QTime &time);
// The same, but never the name of an existing file: when the stamped name
// is taken, "_2", "_3", ... is added before the extension.
QString UniqueTimeStampedName(const QString &name, const QTime &time);

struct SplitPathResult {
    bool found = false;
    QString folder; // up to and including the last separator
    QString file;   // the rest
};
// Splits at the last path separator ("/"); nothing found gives empty parts.
SplitPathResult SplitPath(const QString &path);

} // namespace vx

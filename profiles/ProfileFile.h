#pragma once

#include "profiles/ProfileSet.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

// The profile file (".VDX"): KEY=VALUE lines in a fixed order, each ended by
// CR LF, single-byte characters (Latin-1 here), the last line "FLAG=17". The
// same lines are what a terminal receives and sends back in the settings
// transfer, and what the C source export lists.
namespace vx {

class Messenger;

// The file dialogs' filter for profile files.
inline QString ProfileFileFilter()
{
    return QStringLiteral("Vendrix Profiles (*.VDX)|*.VDX");
}

// The message of every read that stops on a value it cannot convert.
inline QString ProfileReadErrorText()
{
    return QStringLiteral("ERROR, please report at Orvane Staff (num 1546)");
}

// The message of a save whose file cannot be opened for writing.
inline QString ProfileSaveErrorText()
{
    return QStringLiteral("WARNING, the requested file is not available. Change the file, please.");
}

// ---- Port table -----------------------------------------------------------
// A port selector (0 off, 1 RS232, 2 Docking, 3 Keyboard, 4 IrDa, 5 IR) is
// stored as the pair COMPORT / COMTYPE:
//   0 -> 0/0, 1 -> 1/0, 2 -> 1/1, 3 -> 2/2,
//   4 -> 1/3 on an 8-family terminal, 2/3 otherwise,
//   5 -> 1/2 on an 8-family terminal, 2/2 otherwise.
struct PortPair {
    int ComPort = 0;
    int ComType = 0;
};
// Nothing for a selector outside 0..5 (no line is written then).
std::optional<PortPair> EncodePort(int port, bool eightFamily);
// The inverse. On a 7xx terminal Keyboard and IR share the pair 2/2, which
// reads back as IR (the editors never select Keyboard as a port). A COMPORT
// of 0 is "off" whatever the type; an unknown type reads as RS232.
int DecodePort(int comPort, int comType, bool eightFamily);

// Parity positions (0 None, 1 Even, 2 Odd) and their codes 0, 48, 16;
// flow control (0 None, 1 Cts/Rts, 2 Xon/Xoff) and 0, 64, 192.
std::optional<int> EncodeParity(int parity);
std::optional<int> DecodeParity(int code);
std::optional<int> EncodeFlowControl(int flowControl);
std::optional<int> DecodeFlowControl(int code);

// ---- Writer ---------------------------------------------------------------

// The text without leading and trailing blanks (spaces), as strings are
// written to the file.
QString TrimBlanks(const QString &text);

// The number at the start of a text (blanks before it skipped, an optional
// sign), 0 when there is none; saturates instead of overflowing. Slots,
// codes and positions held as text are read with it.
long long LeadingNumber(const QString &text);

// The lines of the file for this set, in file order, without line ends.
// Strings are written without leading and trailing blanks; a line break
// inside a string is written as a blank, so a value never spills into a line
// of its own.
QList<QByteArray> ProfileLines(const ProfileSet &set);
// Those lines, each ended by CR LF.
QByteArray ProfileFileContent(const ProfileSet &set);

// Writes the profile file (replacing the file as a whole: a failed write
// leaves the old file in place). False with a reason when it failed.
bool WriteProfileFile(const ProfileSet &set, const QString &path, QString *error = nullptr);

// The C source text of default settings for a terminal program, built from
// the lines of the given file: a header stamped with `stamp`, then
// "char *defaultSettings[] =" listing each line as a C string (escaped where
// C needs it), an empty string closing the list, and TotalSettings().
QByteArray SettingsSourceText(const QList<QByteArray> &items, const QDateTime &stamp);

// The C source export: the profile lines go to the temporary file vdxtmp.c
// in the data folder (removed first when present), are read back from it
// into the C source at `path`, and the temporary file is removed again.
// Leaves no profile file anywhere.
bool SettingsSourceExport(const ProfileSet &set, const QString &path,
                          const QDateTime &stamp = QDateTime::currentDateTime(), QString *error = nullptr);

// What "Save As" does once a name is chosen: checks that the file can be
// opened for appending (else shows the WARNING message and returns false),
// then writes the C source export when the name ends in ".c" (lower case)
// and the profile file otherwise. A write that fails shows the same message.
bool SaveProfileFile(const ProfileSet &set, const QString &path, Messenger &messenger);

// ---- Reader ---------------------------------------------------------------

// The largest profile file read: a full profile is about 40 KB.
inline constexpr qint64 kMaxProfileBytes = 1024 * 1024;
// The longest line of a profile file: a key and a short value.
inline constexpr qsizetype kMaxProfileLineBytes = 4096;

struct ProfileReadResult {
    enum class Status {
        Ok,         // the end of the file was reached
        CannotOpen, // not read: missing, unreadable, not a regular file, too large; nothing changed
        NotProfile, // not text, or no KEY=VALUE line at all, or a line too long; nothing changed
        Empty,      // no line at all (key and sum flags already cleared)
        BadValue,   // a value that must be a number is not; the read stopped there
    };
    Status status = Status::Ok;
    int lineNumber = 0;         // 1-based line at which the read stopped (Empty: 1)
    QByteArray line;            // that line
    QString detail;             // what was wrong, for people ("is a FIFO", "is larger than 1 MiB")
    bool missing = false;       // CannotOpen because there is no such file
    int linesRead = 0;          // lines looked at
    int linesSkipped = 0;       // lines not recognised or out of range (those without "=" included)
    int linesWithoutEquals = 0; // lines that hold no "=": skipped, never read as a value
    bool endsWithFlag = false;  // the last line read was "FLAG=17"

    bool ok() const { return status == Status::Ok; }
    // The refusal as one text naming the file: "PATH: is a FIFO",
    // "PATH:12: the value "x" is not a whole number: PROFILE0.EXIST=x" (control
    // bytes of the line shown escaped). Empty when ok().
    QString message(const QString &path) const;
};

// A line (or value) for a message: control bytes and bytes above 126 as
// \xNN, so a NUL or an escape sequence never cuts or garbles the message.
QString EscapedText(QByteArrayView bytes);

// Why `content` cannot be a profile, checked before anything is read from
// it: NUL bytes or control bytes in most lines (not text), a line longer
// than kMaxProfileLineBytes, or no line of the form KEY=VALUE at all.
// Nothing (status Ok) when it may be one; missing and unrecognised lines are
// the reader's to tolerate. An empty content passes here (the reader
// reports it).
ProfileReadResult CheckProfileText(const QByteArray &content);

// The bytes of a profile file: a regular file (a link to one counts) of at
// most kMaxProfileBytes, whose text passes CheckProfileText, without a
// UTF-8 byte-order mark before its first line (the reader skips one too).
// Every use reads a profile through here. On refusal, result->message(path) says why.
bool ReadProfileBytes(const QString &path, QByteArray *content, ProfileReadResult *result);

// Fills `set` from the text of a profile file. First clears IsKey and IsSum
// of all 40 fields, then overwrites only the members named by the lines;
// members the text omits keep their values. Lines are recognised by fixed
// character positions, as the writer puts them; unrecognised lines and
// indices out of range are skipped. Stops at the first value that cannot be
// converted, keeping what the lines before it set. A text that
// CheckProfileText refuses changes nothing. A line without "=" is skipped
// and counted. Pure: no files, no messages. Accepts CR LF, LF or CR line
// ends.
ProfileReadResult ParseProfileText(const QByteArray &content, ProfileSet &set);

// The same for a file read with ReadProfileBytes; CannotOpen or NotProfile
// (and the set untouched) when it is refused.
ProfileReadResult ReadProfile(const QString &path, ProfileSet &set);

// The reader as the editor uses it: true when the end of the file was
// reached; false when the file does not exist (nothing changed, nothing
// shown), when it is refused (nothing changed; a message names the file and
// the reason), or when the read stopped on an error, which shows
// "ERROR, please report at Orvane Staff (num 1546)".
bool ReadProfileFile(const QString &path, ProfileSet &set, Messenger &messenger);
// On the program-wide profile, with the program-wide messenger.
bool ReadProfileFile(const QString &path);

} // namespace vx

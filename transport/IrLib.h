#pragma once

#include <QByteArray>
#include <QString>

namespace vx {

// The program's binding of libIrLib.so, the infrared cradle library. Each
// function is bound by name at its first call; when the library cannot be
// loaded every call behaves as a link that is not open, and the log says why
// once.
namespace IrLib {

// Opens the device that ComN maps to, raw, at speed; above 0 on success.
int vbOpenIrCom(int port, int speed);
// Writes every byte of text (the library takes a NUL-terminated text, so a
// NUL byte ends it).
void WriteIrCom(const QByteArray &text);
// What has arrived since the last call (up to 250 bytes), at once; the
// count is its size, 0 when nothing arrived.
QByteArray vbReadIrCom();
// Closes the link; harmless when nothing is open.
void CloseIrCom();

// Why the library could not be loaded (or a function was missing); empty
// while every call made so far found what it needed.
QString LoadError();

// Binds to another library file from the next call on, as if no call had
// been made yet (tests; the program uses libIrLib.so in the program folder).
void setLibraryPath(const QString &path);

} // namespace IrLib
} // namespace vx

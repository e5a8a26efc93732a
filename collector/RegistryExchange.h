#pragma once

#include <QString>
#include <QStringList>
#include <functional>

namespace vx {

class Messenger;

// The data exchange through which another program asks the collector for a
// collection and learns its state. It is a folder tree anyone can use with
// ordinary file tools: base folder ($VENDRIX_EXCHANGE, else "exchange" in the
// data folder) / root name / key path levels / one file per value, holding
// the value's text.
//
// Roots: HKEY_CLASSES_ROOT, HKEY_CURRENT_CONFIG, HKEY_CURRENT_USER,
// HKEY_DYN_DATA, HKEY_LOCAL_MACHINE, HKEY_PERFORMANCE_DATA and HKEY_USERS.
// A read under an unknown root name looks under HKEY_LOCAL_MACHINE; a write
// under one (an empty name included) fails with "Error opening or creating
// registry key".
//
// Whoever can write into the tree is not trusted: a value is read only from
// a regular file of at most kMaxValueBytes (never from a FIFO, a device or
// a symbolic link, and never through a key folder that is a symbolic link);
// anything else reads as missing, and the log says so once per value and
// change of its state. Writes stay inside the tree in the same way.
namespace RegistryExchange {

constexpr int kMaxValueBytes = 4096;

// The folder the tree lives in.
QString BaseFolder();

// Where refusals are reported (one line each); default: qWarning.
void SetLog(std::function<void(const QString &line)> log);

// The value's text, one trailing line end dropped; the default when the root
// name is empty, or the key or value is missing or refused. Value names
// match with letter case counting, after trimming blanks.
QString ReadRegistryValue(const QString &root, const QString &keyPath, const QString &name,
                          const QString &defaultValue);
// The same for several values of one key, opened once.
QStringList ReadRegistryValues(const QString &root, const QString &keyPath, const QStringList &names,
                               const QString &defaultValue);

// Creates the key as needed and replaces the value atomically. Shows the
// message (through messenger) and stores nothing when the root or key path
// is unusable. Returns whether the value was stored.
bool WriteRegistryValue(const QString &root, const QString &keyPath, const QString &name, const QString &text,
                        Messenger &messenger);

// The file a File(n) value names: an absolute path as it is, or a path
// relative to the base folder that stays inside it. The file must be a
// regular file or not exist yet. Empty (and *refusal saying why) for
// anything else; empty without a refusal for an empty value.
QString ResolveExchangeFile(const QString &value, QString *refusal);

// Reads the value (a File(n)) and resolves it as above; a refused value is
// logged once per change and gives the empty text.
QString ReadExchangeFile(const QString &root, const QString &keyPath, const QString &name);

// A text that may follow a command word on the wire: no control character
// (CR, LF, ...). False with *why naming the first one.
bool SafeOnWire(const QString &text, QString *why);

} // namespace RegistryExchange
} // namespace vx

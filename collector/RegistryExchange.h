#pragma once

#include <QString>

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
namespace RegistryExchange {

// The folder the tree lives in.
QString BaseFolder();

// The value's text, one trailing line end dropped; the default when the root
// name is empty, or the key or value is missing. Value names match with
// letter case counting, after trimming blanks.
QString ReadRegistryValue(const QString &root, const QString &keyPath, const QString &name,
                          const QString &defaultValue);

// Creates the key as needed and replaces the value atomically. Shows the
// message (through messenger) and stores nothing when the root or key path
// is unusable. Returns whether the value was stored.
bool WriteRegistryValue(const QString &root, const QString &keyPath, const QString &name,
                        const QString &text, Messenger &messenger);

} // namespace RegistryExchange
} // namespace vx

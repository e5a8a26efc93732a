#pragma once

#include <QString>

// Windows that run on their own, without the collector window, its
// channels or its lock: an installer can edit a profile or the settings
// while the collector runs as a service on the same data folder. Each needs
// a QApplication and returns the exit code.
namespace vx {

// The profile editor on FILE (opened when it exists, a new profile that
// Save writes there when it does not), or on a new profile. 1 when FILE
// cannot be read as a profile.
int RunProfileEditorAlone(const QString &file);

// The options dialog on Vendrix.ini. After "OK", a collector that holds the
// lock of the data folder is told to read the settings again (SIGHUP), and
// the user is told so.
int RunOptionsAlone();

} // namespace vx

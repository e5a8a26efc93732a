#pragma once

#include <QByteArray>
#include <QString>

namespace vx {

// Tells the service manager (systemd) how the program is doing, through
// libsystemd's sd_notify: ready, reloading, stopping, a status line, and the
// watchdog's "still alive". Where the program was not started by it
// (NOTIFY_SOCKET not set) every call does nothing.
namespace ServiceManager {

void Ready();
// Before a reload of the settings; Ready() tells that it is over.
void Reloading();
void Stopping();
// The line that "systemctl status" shows.
void Status(const QString &text);
// "Still alive": sent from the event loop, so a frozen program stops sending it.
void Watchdog();
// How often Watchdog() should be called (half the unit's WatchdogSec=), in
// milliseconds; 0 when no watchdog is asked for.
int WatchdogIntervalMs();
// Whether a service manager hears these calls at all.
bool Listening();

} // namespace ServiceManager

} // namespace vx

#include "platform/ServiceManager.h"

#include <QtGlobal>
#include <ctime>
#include <systemd/sd-daemon.h>

namespace vx::ServiceManager {

namespace {

void notify(const QByteArray &state)
{
    // unset_environment 0: the variables stay for later calls.
    sd_notify(0, state.constData());
}

} // namespace

void Ready()
{
    notify("READY=1");
}

void Reloading()
{
    // The time of the reload on the monotonic clock lets a newer systemd
    // tell this reload from an earlier one.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const quint64 usec = quint64(now.tv_sec) * 1000000u + quint64(now.tv_nsec) / 1000u;
    notify("RELOADING=1\nMONOTONIC_USEC=" + QByteArray::number(usec));
}

void Stopping()
{
    notify("STOPPING=1");
}

void Status(const QString &text)
{
    QByteArray line = text.toUtf8();
    // One line: a line end would end the assignment.
    line.replace('\n', ' ');
    notify("STATUS=" + line);
}

void Watchdog()
{
    notify("WATCHDOG=1");
}

int WatchdogIntervalMs()
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return 0;
    return int(qMax<uint64_t>(1, usec / 2000));
}

bool Listening()
{
    return qEnvironmentVariableIsSet("NOTIFY_SOCKET");
}

} // namespace vx::ServiceManager

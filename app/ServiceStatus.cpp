#include "app/ServiceStatus.h"

#include "collector/Collector.h"
#include "platform/ServiceManager.h"

namespace vx {

ServiceStatus::ServiceStatus(Collector &collector, QObject *parent) : QObject(parent), m_collector(collector)
{
    m_coalesce.setSingleShot(true);
    m_coalesce.setInterval(1000);
    connect(&m_coalesce, &QTimer::timeout, this, &ServiceStatus::send);
    connect(&collector, &Collector::statusChanged, this, &ServiceStatus::changed);
    // Each stored record changes the count the status line shows; without a
    // service manager to tell, nothing needs to hear of every record.
    if (ServiceManager::Listening())
        connect(&collector, &Collector::recordStored, this, &ServiceStatus::changed);
    // The watchdog's ping comes from the event loop: a collector stuck in a
    // handler, or in a loop that never returns, stops sending it and
    // systemd restarts it.
    if (const int interval = ServiceManager::WatchdogIntervalMs(); interval > 0) {
        m_watchdog.setInterval(interval);
        connect(&m_watchdog, &QTimer::timeout, this, [] { ServiceManager::Watchdog(); });
        m_watchdog.start();
        ServiceManager::Watchdog();
    }
}

QString ServiceStatus::text() const
{
    quint64 total = 0;
    QStringList channels;
    for (int n = 1; n <= Collector::kChannels; ++n) {
        const quint64 stored = m_collector.state(n).RecordsStored;
        total += stored;
        QString state = m_collector.StatusPanel(n).simplified();
        if (state.isEmpty())
            state = QStringLiteral("closed");
        channels << (stored > 0 ? QStringLiteral("%1: %2 (%3)").arg(n).arg(state).arg(stored)
                                : QStringLiteral("%1: %2").arg(n).arg(state));
    }
    const QString records = total == 1 ? QStringLiteral("1 record") : QStringLiteral("%1 records").arg(total);
    return records + QStringLiteral(" stored since start; ") + channels.join(QStringLiteral("; "));
}

void ServiceStatus::changed()
{
    if (!m_coalesce.isActive())
        m_coalesce.start();
}

void ServiceStatus::send()
{
    const QString line = text();
    if (line == m_sent)
        return;
    m_sent = line;
    ServiceManager::Status(line);
}

void ServiceStatus::ready()
{
    m_coalesce.stop();
    m_sent.clear();
    send();
    ServiceManager::Ready();
}

void ServiceStatus::reloading()
{
    ServiceManager::Reloading();
    ServiceManager::Status(QStringLiteral("Reloading the settings"));
    m_sent.clear();
}

void ServiceStatus::stopping()
{
    m_coalesce.stop();
    m_watchdog.stop();
    ServiceManager::Stopping();
    ServiceManager::Status(QStringLiteral("Stopping"));
}

} // namespace vx

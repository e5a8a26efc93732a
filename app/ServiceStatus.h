#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

namespace vx {

class Collector;

// Keeps systemd informed about a headless collector: READY=1 once the
// channels are open or their attempts run, a STATUS= line with what each
// channel does and the records stored since the start (sent when it
// changes, at most once a second), WATCHDOG=1 from the event loop at half
// the unit's WatchdogSec=, and RELOADING=1 ... READY=1 around a reload.
// Without systemd (NOTIFY_SOCKET not set) it costs nothing.
class ServiceStatus : public QObject {
public:
    explicit ServiceStatus(Collector &collector, QObject *parent = nullptr);

    void ready();
    void reloading();
    void stopping();

    // The status line: "12 records stored since start; 1: Com1 Run/Wait (12); 2: TCP Connecting; ...".
    QString text() const;

private:
    void changed();
    void send();

    Collector &m_collector;
    QTimer m_coalesce;
    QTimer m_watchdog;
    QString m_sent;
};

} // namespace vx

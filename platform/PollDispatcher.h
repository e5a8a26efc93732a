#pragma once

#include <QAbstractEventDispatcher>
#include <QAtomicInt>
#include <QSocketNotifier>

#include <vector>

namespace vx {

// A socket notifier on the path of every record. PollDispatcher calls
// ready() straight away, instead of sending the notifier Qt's event, which
// goes through the application's notify() and its event filters (none
// without windows); under any other dispatcher the event calls ready().
class DirectNotifier : public QSocketNotifier {
public:
    DirectNotifier(qintptr socket, Type type, QObject *parent = nullptr);
    virtual void ready() = 0;

protected:
    bool event(QEvent *e) override;
};

// The event dispatcher of the headless collector's thread: one epoll set
// with the descriptors of the socket notifiers, a timerfd set for the
// earliest timer, and its own wake-up eventfd.
//
// It does what Qt's own poll() dispatcher does, with less work at each turn,
// in the program and in the system: the set of descriptors lives in the
// system and changes only when a notifier comes, goes or is switched, a wait
// looks only at what became ready, and the few timers a collector has sit in
// a plain list. A record that arrives costs one turn, so the turn's own cost
// is paid at every record.
//
// Rules kept as Qt keeps them: posted events are sent at the start of every
// turn; a timer never fires early, and never again while its own event is
// being handled (a nested loop); a notifier that goes while events are being
// sent gets none; wakeUp() and interrupt() may be called from any thread.
// Timer kinds are all kept to the millisecond: none fires before its time.
class PollDispatcher final : public QAbstractEventDispatcher {
public:
    explicit PollDispatcher(QObject *parent = nullptr);
    ~PollDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;

    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;

protected:
    // Sets a flag only: Qt calls it while it holds a lock of its own.
    void connectNotify(const QMetaMethod &signal) override;

private:
    // One descriptor and its notifiers, by QSocketNotifier::Type.
    struct Watch {
        int fd;
        QSocketNotifier *notifiers[3];
        DirectNotifier *direct[3]; // the same notifiers, when they are
        // A descriptor epoll cannot watch (a regular file, /dev/null) is,
        // as poll() sees it, always ready.
        bool alwaysReady;
    };
    struct Timer {
        int id;
        qint64 interval; // milliseconds
        Qt::TimerType type;
        QObject *object;
        qint64 due; // monotonic nanoseconds
        bool firing;
    };

    // Sets the timer descriptor for the earliest timer, if it is set for
    // later or not at all; true when that timer is due already.
    bool armTimerFd();
    // Tells epoll what the notifiers of w wait for now.
    void watchChanged(Watch &w);
    void markPending(const Watch &w, unsigned events);
    int activateTimers();
    int activatePending();
    Timer *findTimer(int timerId);
    std::vector<Watch>::iterator findWatch(int fd);
    void addPending(QSocketNotifier *notifier, DirectNotifier *direct);

    std::vector<Watch> m_watches;
    int m_alwaysReady = 0; // watches that are
    int m_epollFd = -1;
    // Notifiers whose descriptor is ready, in the order their events go out.
    struct Pending {
        QSocketNotifier *notifier;
        DirectNotifier *direct;
        bool operator==(const QSocketNotifier *n) const { return notifier == n; }
    };
    std::vector<Pending> m_pending;
    std::vector<Timer> m_timers;
    int m_wakeFd = -1;
    int m_timerFd = -1;
    // When the timer descriptor wakes the loop (monotonic nanoseconds), or
    // -1 when it is not set.
    qint64 m_armedFor = -1;
    // Whether anything ever connected to awake() or aboutToBlock(); until
    // then a turn does not emit them.
    bool m_listened = false;
    QAtomicInt m_wakeUps;
    QAtomicInt m_interrupt;
};

} // namespace vx

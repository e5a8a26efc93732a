#include "platform/PollDispatcher.h"

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <QTimerEvent>
#include <QVarLengthArray>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace vx {

namespace {

constexpr qint64 kNsPerMs = 1'000'000;

qint64 now()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// What each kind of notifier hears: a reader also hears the end of the
// connection and an error (a read then tells which), a writer an error.
constexpr unsigned kReadEvents = EPOLLIN | EPOLLHUP | EPOLLERR;
constexpr unsigned kWriteEvents = EPOLLOUT | EPOLLERR;
constexpr unsigned kExceptionEvents = EPOLLPRI;
constexpr unsigned kHeard[3] = {kReadEvents, kWriteEvents, kExceptionEvents};
constexpr unsigned kWanted[3] = {EPOLLIN, EPOLLOUT, EPOLLPRI};

// What one wait takes at most; the rest stays ready for the next.
constexpr int kMostEvents = 16;

} // namespace

DirectNotifier::DirectNotifier(qintptr socket, Type type, QObject *parent) : QSocketNotifier(socket, type, parent)
{
    // QSocketNotifier's constructor registered a plain notifier; registered
    // again now, the dispatcher sees what it is.
    setEnabled(false);
    setEnabled(true);
}

bool DirectNotifier::event(QEvent *e)
{
    if (e->type() != QEvent::SockAct && e->type() != QEvent::SockClose)
        return QSocketNotifier::event(e);
    ready();
    return true;
}

PollDispatcher::PollDispatcher(QObject *parent) : QAbstractEventDispatcher(parent)
{
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0)
        qFatal("Vendrix: the event loop cannot make its wake-up descriptor: %s", std::strerror(errno));
    m_timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (m_timerFd < 0)
        qFatal("Vendrix: the event loop cannot make its timer descriptor: %s", std::strerror(errno));
    m_epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_epollFd < 0)
        qFatal("Vendrix: the event loop cannot make its epoll set: %s", std::strerror(errno));
    for (const int fd : {m_wakeFd, m_timerFd}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &event) < 0)
            qFatal("Vendrix: the event loop cannot watch its own descriptors: %s", std::strerror(errno));
    }
}

PollDispatcher::~PollDispatcher()
{
    ::close(m_epollFd);
    ::close(m_wakeFd);
    ::close(m_timerFd);
}

bool PollDispatcher::armTimerFd()
{
    qint64 earliest = -1;
    for (const Timer &t : m_timers) {
        if (!t.firing && (earliest < 0 || t.due < earliest))
            earliest = t.due;
    }
    if (earliest < 0 || (m_armedFor >= 0 && m_armedFor <= earliest))
        return false;
    if (earliest <= now())
        return true;
    itimerspec at{};
    at.it_value.tv_sec = time_t(earliest / 1'000'000'000);
    at.it_value.tv_nsec = long(earliest % 1'000'000'000);
    if (::timerfd_settime(m_timerFd, TFD_TIMER_ABSTIME, &at, nullptr) < 0) {
        qErrnoWarning("Vendrix: the event loop's timer descriptor cannot be set");
        return true;
    }
    m_armedFor = earliest;
    return false;
}

bool PollDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    m_interrupt.storeRelaxed(0);
    if (m_listened)
        emit awake();
    QCoreApplication::sendPostedEvents();

    const bool includeTimers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool includeNotifiers = !(flags & QEventLoop::ExcludeSocketNotifiers);
    // An event posted while the ones before went out called wakeUp(), which
    // makes the wait below end at once.
    const bool canWait = (flags & QEventLoop::WaitForMoreEvents) && !m_interrupt.loadRelaxed();
    if (canWait && m_listened)
        emit aboutToBlock();
    if (m_interrupt.loadRelaxed())
        return false;

    // The timers wake the wait through a timer descriptor watched with the
    // notifiers, so that the wait itself has no time-out: a wait with one
    // costs the system a timer of its own, set and taken back at every turn,
    // and a turn comes with every record. The descriptor is set again only
    // when a timer is due earlier than it is set for; when it wakes the loop
    // early, it is set for the next one then.
    bool timerDue = false;
    if (includeTimers)
        timerDue = armTimerFd();
    const bool wait = canWait && !timerDue;

    int nevents = 0;
    const auto wokenUp = [this, &nevents] {
        eventfd_t value = 0;
        ::eventfd_read(m_wakeFd, &value);
        m_wakeUps.storeRelease(0);
        ++nevents;
    };
    const auto timerFired = [this, &timerDue] {
        std::uint64_t expirations = 0;
        if (::read(m_timerFd, &expirations, sizeof expirations) < 0 && errno != EAGAIN)
            qErrnoWarning("Vendrix: the event loop's timer descriptor cannot be read");
        m_armedFor = -1;
        timerDue = true;
    };
    if (includeNotifiers) {
        epoll_event events[kMostEvents];
        const int ready = ::epoll_wait(m_epollFd, events, kMostEvents, wait && m_alwaysReady == 0 ? -1 : 0);
        if (ready < 0 && errno != EINTR)
            qErrnoWarning("Vendrix: the event loop's wait failed");
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (fd == m_wakeFd) {
                wokenUp();
            } else if (fd == m_timerFd) {
                timerFired();
            } else {
                if (const auto w = findWatch(fd); w != m_watches.end())
                    markPending(*w, events[i].events);
            }
        }
        if (m_alwaysReady > 0) {
            for (const Watch &w : m_watches) {
                if (w.alwaysReady)
                    markPending(w, kReadEvents | kWriteEvents);
            }
        }
    } else {
        // Without the notifiers, only the timer and wake-up descriptors are
        // watched (the epoll set would end the wait for a ready notifier).
        pollfd own[2] = {{m_timerFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        const timespec noWait{};
        const int ready = ::ppoll(own, 2, wait ? nullptr : &noWait, nullptr);
        if (ready < 0 && errno != EINTR)
            qErrnoWarning("Vendrix: the event loop's wait failed");
        if (ready > 0 && (own[0].revents & POLLIN))
            timerFired();
        if (ready > 0 && (own[1].revents & POLLIN))
            wokenUp();
    }
    if (includeTimers && timerDue)
        nevents += activateTimers();
    nevents += activatePending();
    return nevents > 0;
}

void PollDispatcher::markPending(const Watch &w, unsigned events)
{
    for (int type = 0; type < 3; ++type) {
        if ((events & kHeard[type]) && w.notifiers[type])
            addPending(w.notifiers[type], w.direct[type]);
    }
}

void PollDispatcher::addPending(QSocketNotifier *notifier, DirectNotifier *direct)
{
    if (std::find(m_pending.begin(), m_pending.end(), notifier) == m_pending.end())
        m_pending.push_back(Pending{notifier, direct});
}

int PollDispatcher::activatePending()
{
    int sent = 0;
    QEvent event(QEvent::SockAct);
    // Taken one at a time: a handler may remove notifiers still waiting, or
    // run a loop of its own that sends them.
    while (!m_pending.empty()) {
        const Pending next = m_pending.front();
        m_pending.erase(m_pending.begin());
        if (next.direct)
            next.direct->ready();
        else
            QCoreApplication::sendEvent(next.notifier, &event);
        ++sent;
    }
    return sent;
}

int PollDispatcher::activateTimers()
{
    if (m_timers.empty())
        return 0;
    const qint64 at = now();
    // The timers due now, earliest first; one started or made due while
    // these fire waits for the next turn.
    QVarLengthArray<std::pair<qint64, int>, 16> due;
    for (const Timer &t : m_timers) {
        if (!t.firing && t.due <= at)
            due.append({t.due, t.id});
    }
    std::sort(due.begin(), due.end());
    int fired = 0;
    for (const auto &[when, id] : due) {
        Timer *t = findTimer(id);
        if (!t || t->firing || t->due > at)
            continue;
        const qint64 step = t->interval * kNsPerMs;
        t->due += step;
        if (t->due < at)
            t->due = at + step;
        t->firing = true;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(t->object, &event);
        // The handler may have stopped the timer, or another taken its id.
        if ((t = findTimer(id)))
            t->firing = false;
        ++fired;
    }
    return fired;
}

PollDispatcher::Timer *PollDispatcher::findTimer(int timerId)
{
    for (Timer &t : m_timers) {
        if (t.id == timerId)
            return &t;
    }
    return nullptr;
}

std::vector<PollDispatcher::Watch>::iterator PollDispatcher::findWatch(int fd)
{
    return std::find_if(m_watches.begin(), m_watches.end(), [fd](const Watch &w) { return w.fd == fd; });
}

void PollDispatcher::watchChanged(Watch &w)
{
    epoll_event event{};
    event.data.fd = w.fd;
    for (int type = 0; type < 3; ++type) {
        if (w.notifiers[type])
            event.events |= kWanted[type];
    }
    if (w.alwaysReady)
        return;
    if (event.events == 0) {
        // Gone already when the descriptor was closed first.
        ::epoll_ctl(m_epollFd, EPOLL_CTL_DEL, w.fd, &event);
        return;
    }
    // The set forgets a descriptor when it is closed, and another file may
    // come to have its number: added again then.
    if (::epoll_ctl(m_epollFd, EPOLL_CTL_MOD, w.fd, &event) == 0)
        return;
    if (errno == ENOENT && ::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, w.fd, &event) == 0)
        return;
    if (errno == EPERM) {
        w.alwaysReady = true;
        ++m_alwaysReady;
        return;
    }
    qWarning("Vendrix: the event loop cannot watch descriptor %d: %s", w.fd, std::strerror(errno));
}

void PollDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    const int type = int(notifier->type());
    auto w = findWatch(fd);
    if (w == m_watches.end())
        w = m_watches.insert(m_watches.end(),
                             Watch{fd, {nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr}, false});
    if (w->notifiers[type] && w->notifiers[type] != notifier)
        qWarning("Vendrix: a second socket notifier of one kind for descriptor %d replaces the first", fd);
    w->notifiers[type] = notifier;
    w->direct[type] = dynamic_cast<DirectNotifier *>(notifier);
    watchChanged(*w);
}

void PollDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    const int type = int(notifier->type());
    const auto w = findWatch(fd);
    if (w != m_watches.end() && w->notifiers[type] == notifier) {
        w->notifiers[type] = nullptr;
        w->direct[type] = nullptr;
        watchChanged(*w);
        if (!w->notifiers[0] && !w->notifiers[1] && !w->notifiers[2]) {
            if (w->alwaysReady)
                --m_alwaysReady;
            m_watches.erase(w);
        }
    }
    m_pending.erase(std::remove(m_pending.begin(), m_pending.end(), static_cast<const QSocketNotifier *>(notifier)),
                    m_pending.end());
}

void PollDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject *object)
{
    m_timers.push_back(Timer{timerId, interval, timerType, object, now() + interval * kNsPerMs, false});
}

bool PollDispatcher::unregisterTimer(int timerId)
{
    const Timer *t = findTimer(timerId);
    if (!t)
        return false;
    m_timers.erase(m_timers.begin() + (t - m_timers.data()));
    return true;
}

bool PollDispatcher::unregisterTimers(QObject *object)
{
    const auto end =
        std::remove_if(m_timers.begin(), m_timers.end(), [object](const Timer &x) { return x.object == object; });
    const bool any = end != m_timers.end();
    m_timers.erase(end, m_timers.end());
    return any;
}

QList<QAbstractEventDispatcher::TimerInfo> PollDispatcher::registeredTimers(QObject *object) const
{
    QList<TimerInfo> list;
    for (const Timer &t : m_timers) {
        if (t.object == object)
            list.append(TimerInfo(t.id, int(t.interval), t.type));
    }
    return list;
}

int PollDispatcher::remainingTime(int timerId)
{
    const Timer *t = findTimer(timerId);
    if (!t)
        return -1;
    return int(std::max<qint64>(0, t->due - now()) / kNsPerMs);
}

void PollDispatcher::connectNotify(const QMetaMethod &)
{
    m_listened = true;
}

void PollDispatcher::wakeUp()
{
    // One write until the loop has read it: any number of calls from any
    // thread end the next wait once.
    if (m_wakeUps.testAndSetAcquire(0, 1))
        ::eventfd_write(m_wakeFd, 1);
}

void PollDispatcher::interrupt()
{
    m_interrupt.storeRelaxed(1);
    wakeUp();
}

} // namespace vx

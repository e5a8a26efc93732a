#include "platform/PollDispatcher.h"

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <QTimerEvent>
#include <QVarLengthArray>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <cstdint>
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
constexpr short kReadEvents = POLLIN | POLLHUP | POLLERR;
constexpr short kWriteEvents = POLLOUT | POLLERR;
constexpr short kExceptionEvents = POLLPRI;
constexpr short kWanted[3] = {POLLIN, POLLOUT, POLLPRI};

} // namespace

PollDispatcher::PollDispatcher(QObject *parent) : QAbstractEventDispatcher(parent)
{
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0)
        qFatal("Vendrix: the event loop cannot make its wake-up descriptor: %s", std::strerror(errno));
    m_timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (m_timerFd < 0)
        qFatal("Vendrix: the event loop cannot make its timer descriptor: %s", std::strerror(errno));
}

PollDispatcher::~PollDispatcher()
{
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

    // The timers wake the wait through a timer descriptor in the poll set,
    // so that the wait itself has no time-out: a wait with one costs the
    // system a timer of its own, set and taken back at every turn, and a turn
    // comes with every record. The descriptor is set again only when a timer
    // is due earlier than it is set for; when it wakes the loop early, it is
    // set for the next one then.
    bool timerDue = false;
    if (includeTimers)
        timerDue = armTimerFd();
    const bool wait = canWait && !timerDue;
    const timespec noWait{};

    if (m_pollSetStale) {
        m_pollSet.clear();
        for (const Watch &w : m_watches) {
            short events = 0;
            for (int type = 0; type < 3; ++type) {
                if (w.notifiers[type])
                    events |= kWanted[type];
            }
            m_pollSet.push_back(pollfd{w.fd, events, 0});
        }
        m_pollSet.push_back(pollfd{m_timerFd, POLLIN, 0});
        m_pollSet.push_back(pollfd{m_wakeFd, POLLIN, 0});
        m_pollSetStale = false;
    }
    // Without the notifiers, only the timer and wake-up descriptors are
    // watched.
    pollfd *fds = includeNotifiers ? m_pollSet.data() : &m_pollSet[m_pollSet.size() - 2];
    const size_t count = includeNotifiers ? m_pollSet.size() : 2;

    int nevents = 0;
    const int ready = ::ppoll(fds, nfds_t(count), wait ? nullptr : &noWait, nullptr);
    if (ready < 0 && errno != EINTR)
        qErrnoWarning("Vendrix: the event loop's wait failed");
    if (ready > 0) {
        if (fds[count - 1].revents & POLLIN) {
            eventfd_t value = 0;
            ::eventfd_read(m_wakeFd, &value);
            m_wakeUps.storeRelease(0);
            ++nevents;
        }
        if (fds[count - 2].revents & POLLIN) {
            std::uint64_t expirations = 0;
            if (::read(m_timerFd, &expirations, sizeof expirations) < 0 && errno != EAGAIN)
                qErrnoWarning("Vendrix: the event loop's timer descriptor cannot be read");
            m_armedFor = -1;
            timerDue = true;
        }
        if (includeNotifiers)
            markPending(fds, count - 2);
    }
    if (includeTimers && timerDue)
        nevents += activateTimers();
    nevents += activatePending();
    return nevents > 0;
}

void PollDispatcher::markPending(const pollfd *fds, size_t count)
{
    QVarLengthArray<QSocketNotifier *, 4> invalid;
    for (size_t i = 0; i < count; ++i) {
        const short revents = fds[i].revents;
        if (!revents)
            continue;
        const Watch &w = m_watches[i];
        if (revents & POLLNVAL) {
            for (QSocketNotifier *n : w.notifiers) {
                if (n)
                    invalid.append(n);
            }
            continue;
        }
        if ((revents & kReadEvents) && w.notifiers[QSocketNotifier::Read])
            addPending(w.notifiers[QSocketNotifier::Read]);
        if ((revents & kWriteEvents) && w.notifiers[QSocketNotifier::Write])
            addPending(w.notifiers[QSocketNotifier::Write]);
        if ((revents & kExceptionEvents) && w.notifiers[QSocketNotifier::Exception])
            addPending(w.notifiers[QSocketNotifier::Exception]);
    }
    // A closed descriptor would make every wait end at once: its notifiers
    // are switched off, and said so.
    for (QSocketNotifier *n : invalid) {
        qWarning("Vendrix: socket notifier for descriptor %d, which is not open, switched off", int(n->socket()));
        n->setEnabled(false);
    }
}

void PollDispatcher::addPending(QSocketNotifier *notifier)
{
    if (std::find(m_pending.begin(), m_pending.end(), notifier) == m_pending.end())
        m_pending.push_back(notifier);
}

int PollDispatcher::activatePending()
{
    int sent = 0;
    QEvent event(QEvent::SockAct);
    // Taken one at a time: a handler may remove notifiers still waiting, or
    // run a loop of its own that sends them.
    while (!m_pending.empty()) {
        QSocketNotifier *notifier = m_pending.front();
        m_pending.erase(m_pending.begin());
        QCoreApplication::sendEvent(notifier, &event);
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

void PollDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    const int type = int(notifier->type());
    auto w = std::find_if(m_watches.begin(), m_watches.end(), [fd](const Watch &x) { return x.fd == fd; });
    if (w == m_watches.end())
        w = m_watches.insert(m_watches.end(), Watch{fd, {nullptr, nullptr, nullptr}});
    if (w->notifiers[type] && w->notifiers[type] != notifier)
        qWarning("Vendrix: a second socket notifier of one kind for descriptor %d replaces the first", fd);
    w->notifiers[type] = notifier;
    m_pollSetStale = true;
}

void PollDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    const int type = int(notifier->type());
    auto w = std::find_if(m_watches.begin(), m_watches.end(), [fd](const Watch &x) { return x.fd == fd; });
    if (w != m_watches.end() && w->notifiers[type] == notifier) {
        w->notifiers[type] = nullptr;
        if (!w->notifiers[0] && !w->notifiers[1] && !w->notifiers[2])
            m_watches.erase(w);
        m_pollSetStale = true;
    }
    m_pending.erase(std::remove(m_pending.begin(), m_pending.end(), notifier), m_pending.end());
}

void PollDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject *object)
{
    m_timers.push_back(Timer{timerId, interval, timerType, object, now() + interval * kNsPerMs, false});
}

bool PollDispatcher::unregisterTimer(int timerId)
{
    const auto t = std::find_if(m_timers.begin(), m_timers.end(), [timerId](const Timer &x) { return x.id == timerId; });
    if (t == m_timers.end())
        return false;
    m_timers.erase(t);
    return true;
}

bool PollDispatcher::unregisterTimers(QObject *object)
{
    const auto end = std::remove_if(m_timers.begin(), m_timers.end(), [object](const Timer &x) { return x.object == object; });
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

#pragma once

#include <QTime>
#include <QtGlobal>

namespace vx {

// Step periods and reply time-outs are measured on a monotonic clock, so a
// period that spans midnight (or a change of the system time) works. Tests
// inject a ManualClock and move it by hand.
class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds on a monotonic scale; only differences mean anything.
    virtual qint64 nowMs() const = 0;
    // The wall-clock time of day, for time-stamped file names.
    virtual QTime timeOfDay() const = 0;

    // The program-wide clock: the system clock unless a test set another.
    static Clock &current();
    static void setCurrent(Clock *clock);
};

// The system's monotonic clock in milliseconds, for what tests do not steer
// through a Clock: how long a file or a lock has been held, how old a cached
// value is.
qint64 MonotonicMs();

// Waits at least the given number of seconds on the event loop (no
// spinning), so other events run meanwhile.
void WaitSeconds(double seconds);

class SystemClock : public Clock {
public:
    qint64 nowMs() const override;
    QTime timeOfDay() const override;
};

class ManualClock : public Clock {
public:
    qint64 nowMs() const override { return m_now; }
    QTime timeOfDay() const override { return m_time; }
    void advanceMs(qint64 ms) { m_now += ms; }
    void setMs(qint64 ms) { m_now = ms; }
    void setTimeOfDay(QTime t) { m_time = t; }

private:
    qint64 m_now = 1000000;
    QTime m_time = QTime(0, 0, 0);
};

} // namespace vx

#include "platform/Clock.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>

namespace vx {

namespace {
Clock *g_clock = nullptr;
}

qint64 MonotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

qint64 SystemClock::nowMs() const
{
    return MonotonicMs();
}

QTime SystemClock::timeOfDay() const
{
    return QTime::currentTime();
}

Clock &Clock::current()
{
    static SystemClock system;
    return g_clock ? *g_clock : system;
}

void Clock::setCurrent(Clock *clock)
{
    g_clock = clock;
}

void WaitSeconds(double seconds)
{
    if (seconds <= 0.0 || !QCoreApplication::instance())
        return;
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000.0 + 0.5), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace vx

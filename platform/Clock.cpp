#include "platform/Clock.h"

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

} // namespace vx

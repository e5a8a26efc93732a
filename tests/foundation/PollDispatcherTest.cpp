#include "platform/PollDispatcher.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTemporaryFile>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

using namespace vx;

namespace {

// Runs body in a thread of its own whose event loops use the dispatcher.
void onPollDispatcher(const std::function<void()> &body)
{
    std::unique_ptr<QThread> thread(QThread::create(body));
    thread->setEventDispatcher(new PollDispatcher);
    thread->start();
    ASSERT_TRUE(thread->wait(60000)) << "the loop did not end";
}

struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd); }
    ~SocketPair()
    {
        ::close(fd[0]);
        ::close(fd[1]);
    }
    void send() const { ASSERT_EQ(::write(fd[1], "x", 1), 1); }
    void take() const
    {
        char c;
        ASSERT_EQ(::read(fd[0], &c, 1), 1);
    }
};

} // namespace

// No timer fires before its time; a timer stopped by another's handler
// does not fire; the ids of stopped timers come back for new ones.
TEST(PollDispatcher, TimersKeepTheirTimeAndGiveBackTheirIds)
{
    qint64 singleAfter = -1;
    int repeats = 0;
    int highestId = 0;
    int remaining = -2;
    bool stoppedFired = false;
    onPollDispatcher([&] {
        QEventLoop loop;
        QElapsedTimer clock;
        clock.start();
        QTimer single, repeat, stopped, stopper;
        single.setSingleShot(true);
        stopped.setSingleShot(true);
        stopper.setSingleShot(true);
        const auto done = [&] {
            if (singleAfter >= 0 && repeats >= 3)
                loop.quit();
        };
        QObject::connect(&single, &QTimer::timeout, [&] {
            singleAfter = clock.elapsed();
            done();
        });
        QObject::connect(&repeat, &QTimer::timeout, [&] {
            ++repeats;
            done();
        });
        QObject::connect(&stopped, &QTimer::timeout, [&] { stoppedFired = true; });
        QObject::connect(&stopper, &QTimer::timeout, [&] { stopped.stop(); });
        for (int i = 0; i < 100000; ++i) {
            single.start(60);
            highestId = std::max(highestId, single.timerId());
        }
        remaining = single.remainingTime();
        repeat.start(5);
        stopped.start(30);
        stopper.start(10);
        loop.exec();
    });
    EXPECT_GE(singleAfter, 60);
    EXPECT_GE(repeats, 3);
    EXPECT_FALSE(stoppedFired);
    EXPECT_LT(highestId, 100);
    EXPECT_GE(remaining, 0);
    EXPECT_LE(remaining, 60);
}

// Of two descriptors ready at once, the first handler to run removes the
// other's notifier: that one hears nothing, and the survivor keeps hearing.
TEST(PollDispatcher, NotifierRemovedWhileEventsGoOutHearsNothing)
{
    int heard[2] = {0, 0};
    bool removedHeard = false;
    onPollDispatcher([&] {
        SocketPair pairs[2];
        std::unique_ptr<QSocketNotifier> notifiers[2];
        QEventLoop loop;
        for (int k = 0; k < 2; ++k) {
            notifiers[k] = std::make_unique<QSocketNotifier>(pairs[k].fd[0], QSocketNotifier::Read);
            QObject::connect(notifiers[k].get(), &QSocketNotifier::activated, [&, k] {
                pairs[k].take();
                if (++heard[k] == 1 && notifiers[1 - k]) {
                    notifiers[1 - k].reset();
                    removedHeard = heard[1 - k] > 0;
                    pairs[k].send(); // once more, for the survivor
                } else {
                    loop.quit();
                }
            });
        }
        pairs[0].send();
        pairs[1].send();
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
    });
    EXPECT_FALSE(removedHeard);
    EXPECT_EQ(heard[0] + heard[1], 2);
    EXPECT_TRUE(heard[0] == 2 || heard[1] == 2);
}

// A descriptor that epoll cannot watch (a regular file) is ready at every
// turn, as poll() says of it.
TEST(PollDispatcher, RegularFileIsAlwaysReady)
{
    int heard = 0;
    onPollDispatcher([&] {
        QTemporaryFile file;
        ASSERT_TRUE(file.open());
        QSocketNotifier notifier(file.handle(), QSocketNotifier::Read);
        QEventLoop loop;
        QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
            if (++heard == 3)
                loop.quit();
        });
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
    });
    EXPECT_EQ(heard, 3);
}

// A loop run inside a timer's handler serves the notifiers and the other
// timers, but not that timer again until its handler has returned.
TEST(PollDispatcher, NestedLoopLeavesTheRunningTimerAlone)
{
    int outerTicks = 0;
    int ticksInside = -1;
    bool innerTimerFired = false;
    bool notifierHeard = false;
    onPollDispatcher([&] {
        SocketPair pair;
        QSocketNotifier notifier(pair.fd[0], QSocketNotifier::Read);
        QTimer outer, inner;
        inner.setSingleShot(true);
        QEventLoop loop;
        QObject::connect(&outer, &QTimer::timeout, [&] {
            if (++outerTicks > 1) {
                loop.quit();
                return;
            }
            QEventLoop nested;
            QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
                pair.take();
                notifierHeard = true;
            });
            QObject::connect(&inner, &QTimer::timeout, [&] {
                innerTimerFired = true;
                nested.quit();
            });
            pair.send();
            inner.start(40); // eight of the outer timer's periods
            nested.exec();
            ticksInside = outerTicks - 1;
        });
        outer.start(5);
        loop.exec();
    });
    EXPECT_TRUE(innerTimerFired);
    EXPECT_TRUE(notifierHeard);
    EXPECT_EQ(ticksInside, 0);
    EXPECT_EQ(outerTicks, 2);
}

// A loop with nothing to wait for but posted events wakes for one posted
// from another thread, and ends when another thread tells it to.
TEST(PollDispatcher, OtherThreadsWakeAndEndTheLoop)
{
    std::atomic<QEventLoop *> running{nullptr};
    std::atomic<int> endedBy{0};
    QObject *receiver = nullptr;
    std::unique_ptr<QThread> thread(QThread::create([&] {
        QObject here;
        receiver = &here;
        QEventLoop first;
        running = &first;
        first.exec();
        endedBy = 1;
        QEventLoop second;
        running = &second;
        second.exec();
        endedBy = 2;
    }));
    thread->setEventDispatcher(new PollDispatcher);
    thread->start();
    while (running.load() == nullptr)
        QThread::msleep(1);
    QThread::msleep(50); // blocked in its wait by now
    QEventLoop *first = running.load();
    QMetaObject::invokeMethod(
        receiver, [first] { first->quit(); }, Qt::QueuedConnection);
    while (running.load() == first)
        QThread::msleep(1);
    QThread::msleep(50);
    running.load()->quit();
    ASSERT_TRUE(thread->wait(60000)) << "the loop did not wake";
    EXPECT_EQ(endedBy.load(), 2);
}

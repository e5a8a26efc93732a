#include "store/PathWatch.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vx {
namespace {

bool Write(const QString &path, const QByteArray &bytes = "x")
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// What happens to the folder after the first question, and whether the path
// still names the watched file at the second.
TEST(PathWatchTest, AnswersWhetherThePathStillNamesTheWatchedFile)
{
    struct Case {
        const char *what;
        std::function<void(const QString &dir)> change;
        bool same;
    };
    const Case cases[] = {
        {"nothing", [](const QString &) {}, true},
        {"another file made beside it", [](const QString &d) { Write(d + "/other"); }, true},
        {"another file removed beside it",
         [](const QString &d) {
             Write(d + "/other");
             QFile::remove(d + "/other");
         },
         true},
        {"the file moved away", [](const QString &d) { QFile::rename(d + "/rec.txt", d + "/moved.txt"); }, false},
        {"the file removed", [](const QString &d) { QFile::remove(d + "/rec.txt"); }, false},
        {"the file replaced by another of the same name",
         [](const QString &d) {
             Write(d + "/new.txt");
             ::rename(QFile::encodeName(d + "/new.txt").constData(), QFile::encodeName(d + "/rec.txt").constData());
         },
         false},
        {"the file replaced by a folder",
         [](const QString &d) {
             QFile::remove(d + "/rec.txt");
             QDir(d).mkdir("rec.txt");
         },
         false},
        {"its folder moved", [](const QString &d) { QDir().rename(d, d + "-moved"); }, false},
    };
    // Each change comes after the first question (the notices running), or
    // before it (the first question's look-up alone has to see it); or after
    // the first question of a watch that served another file before, whose
    // folder was removed meanwhile (what that one queued must not count).
    enum Mode { Asked, NotAsked, Reused };
    for (const Case &c : cases) {
        for (const Mode mode : {Asked, NotAsked, Reused}) {
            const bool asked = mode != NotAsked;
            SCOPED_TRACE(std::string(c.what)
                         + (mode == Asked      ? ", after the first question"
                            : mode == NotAsked ? ", before it"
                                               : ", the watch used before"));
            QTemporaryDir top;
            const QString dir = top.path() + "/records";
            ASSERT_TRUE(QDir().mkdir(dir));
            ASSERT_TRUE(Write(dir + "/rec.txt"));
            PathWatch watch;
            if (mode == Reused) {
                const QString before = top.path() + "/before";
                ASSERT_TRUE(QDir().mkdir(before));
                ASSERT_TRUE(Write(before + "/old.txt"));
                ASSERT_TRUE(watch.Watch(before + "/old.txt"));
                EXPECT_TRUE(watch.Same());
                ASSERT_TRUE(QDir(before).removeRecursively());
                EXPECT_FALSE(watch.Same());
                ASSERT_TRUE(Write(top.path() + "/queued-while-let-go"));
            }
            ASSERT_TRUE(watch.Watch(dir + "/rec.txt"));
            if (asked) {
                // The first question looks the name up, and gives the length.
                qint64 size = -1;
                EXPECT_TRUE(watch.Same(&size));
                EXPECT_EQ(size, 1);
            }
            c.change(dir);
            EXPECT_EQ(watch.Same(), c.same);
        }
    }
}

// With the user's queue of pending signals full, the system sends SIGIO in
// place of the real-time signal: it must neither end the process nor hide
// the change. Run in a child, whose limit and blocked signals are its own.
TEST(PathWatchTest, AFullSignalQueueNeitherEndsTheProgramNorHidesAMove)
{
    QTemporaryDir top;
    const QString dir = top.path();
    ASSERT_TRUE(Write(dir + "/rec.txt"));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        PathWatch watch;
        if (!watch.Watch(dir + "/rec.txt") || !watch.Same())
            ::_exit(2);
        // No real-time signal can be queued while one is pending and blocked.
        const rlimit one{1, 1};
        ::setrlimit(RLIMIT_SIGPENDING, &one);
        sigset_t rt;
        sigemptyset(&rt);
        sigaddset(&rt, SIGRTMIN + 7);
        ::pthread_sigmask(SIG_BLOCK, &rt, nullptr);
        for (int i = 0; i < 8; ++i)
            Write(dir + QString("/other%1").arg(i));
        QFile::rename(dir + "/rec.txt", dir + "/moved.txt");
        ::pthread_sigmask(SIG_UNBLOCK, &rt, nullptr);
        ::_exit(watch.Same() ? 3 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: not watched, 3: the move went unseen";
}

} // namespace
} // namespace vx

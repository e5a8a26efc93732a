#pragma once

#include "TestSupport.h"

#include <QByteArray>
#include <QString>

#include <cerrno>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace vx::test {

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const QByteArray &value)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~ScopedEnv()
    {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }

private:
    const char *m_name;
    bool m_had;
    QByteArray m_old;
};

// The terminal's end of a pseudo-terminal pair, opened raw and
// non-blocking with plain system calls, so it shares no code with what is
// under test.
class PeerEnd {
public:
    explicit PeerEnd(const QString &path)
    {
        m_fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_fd >= 0) {
            termios t{};
            tcgetattr(m_fd, &t);
            cfmakeraw(&t);
            tcsetattr(m_fd, TCSANOW, &t);
        }
    }
    ~PeerEnd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    PeerEnd(const PeerEnd &) = delete;
    PeerEnd &operator=(const PeerEnd &) = delete;

    bool isOpen() const { return m_fd >= 0; }

    bool write(const QByteArray &bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
            if (n > 0)
                done += n;
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
        }
        return true;
    }

    // Reads until count bytes have come or timeoutMs passed, running the
    // event loop meanwhile (the other end may need it to send).
    QByteArray read(qsizetype count, int timeoutMs = 3000)
    {
        QByteArray got;
        waitUntil(
            [&] {
                char buffer[512];
                ssize_t n;
                while ((n = ::read(m_fd, buffer, sizeof buffer)) > 0)
                    got.append(buffer, n);
                return got.size() >= count;
            },
            timeoutMs);
        return got;
    }

private:
    int m_fd = -1;
};

// Every byte value once, in order.
inline QByteArray allByteValues()
{
    QByteArray bytes(256, '\0');
    for (int i = 0; i < 256; ++i)
        bytes[i] = static_cast<char>(i);
    return bytes;
}

} // namespace vx::test

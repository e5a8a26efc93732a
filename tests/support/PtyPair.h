#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace vx::test {

// A pair of connected pseudo-terminals made by socat:
//   socat pty,raw,echo=0,link=A pty,raw,echo=0,link=B
// in a temporary folder. What is written to one end is read on the other,
// raw, with no line discipline in between. The collector opens end A (map
// ComN to pcEnd() with VENDRIX_COM<N>), the simulated terminal opens end B.
// Either end may be closed and opened again while the pair lives; the pair
// ends (socat is stopped, the links vanish) when the object is destroyed.
class PtyPair {
public:
    // Starts socat and waits up to timeoutMs for both links to appear.
    explicit PtyPair(int timeoutMs = 5000);
    ~PtyPair();

    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    // True when socat runs and both links exist.
    bool isReady() const;
    // Why the pair is not ready (socat missing, did not start, ...).
    QString errorText() const { return m_error; }

    // The collector's end (link A) and the terminal's end (link B).
    QString pcEnd() const { return m_a; }
    QString terminalEnd() const { return m_b; }

    // Stops socat (SIGTERM, then SIGKILL when it lingers). Called by the
    // destructor; harmless when already stopped.
    void stop();

private:
    QTemporaryDir m_dir;
    QProcess m_socat;
    QString m_a;
    QString m_b;
    QString m_error;
};

} // namespace vx::test

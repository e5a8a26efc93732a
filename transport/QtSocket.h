#pragma once

#include "transport/Socket.h"

#include <QByteArray>
#include <memory>

class QSocketNotifier;
class QTimer;

namespace vx {

// The socket object over a non-blocking TCP socket watched by the event
// loop, with Nagle's delay switched off so each answer leaves at once.
// States: 0 closed, 6 connecting, 7 connected, 8 the peer has closed
// (received text can still be read; Close() ends it), 9 error (until Close()
// or the next Connect()).
//
// One arrival costs one read, one answer one write: what arrives is read
// into the socket's own buffer in a single call (no query of the size
// first), and an answer goes straight to the connection unless earlier text
// still waits to leave.
//
// An arrival is announced (DataArrival, or the arrival handler) each time
// data arrives, never inside its own handler; data that arrives while a
// handler runs gets an announcement of its own once the handler returns.
//
// A handler that took everything and answered is most often followed at
// once by the peer's next message (a terminal sends its next record as soon
// as it has the answer): the socket reads again right away, without a wait
// in the event loop, at most kReadAhead times in a row so that timers and
// other connections still get their turn. A read that finds nothing yet
// makes the next arrivals go back to the loop at once: kReadAheadPause of
// them, twice as many after each such read in a row, up to
// kReadAheadLongestPause; a read that finds the next message ends that. So
// a slower peer costs next to no calls.
class QtSocket : public Socket {
    Q_OBJECT
public:
    explicit QtSocket(QObject *parent = nullptr);
    ~QtSocket() override;

    static constexpr int sckResolvingHost = 4;
    static constexpr int sckConnecting = 6;
    static constexpr int sckClosing = 8;

    void setRemoteHost(const QString &host) override { m_host = host; }
    QString RemoteHost() const override { return m_host; }
    void setRemotePort(int port) override { m_port = port; }
    int RemotePort() const override { return m_port; }
    void Connect() override;
    void Close() override;
    int State() const override;
    QByteArray PeekData() const override;
    QByteArray GetData(int maxChars = -1) override;
    void SendData(const QByteArray &text) override;

    // Why the socket is in the error state (empty otherwise).
    QString errorString() const { return m_errorText; }
    QString ErrorReason() const override { return m_errorReason; }

private:
    enum class Phase { Closed, Connecting, Connected, PeerClosed, Error };
    class Notifier;

    static constexpr int kReadAhead = 16;
    static constexpr int kReadAheadPause = 16;
    static constexpr int kReadAheadLongestPause = 1024;

    void release();
    void connectFinished(int error);
    void onReadable();
    bool takeArrival(ssize_t got);
    bool readAheadAllowed() const;
    void onWritable();
    qsizetype sendSome(const char *data, qsizetype size);
    bool sendPending();
    void fail(int error);
    void raiseArrival();
    void updateReading();
    void setPhase(Phase phase);

    QString m_host;
    int m_port = 0;
    int m_fd = -1;
    Phase m_phase = Phase::Closed;
    Notifier *m_readNotifier = nullptr;
    Notifier *m_writeNotifier = nullptr;
    QTimer *m_connectResult = nullptr; // a connection decided at once is reported from the event loop
    int m_connectError = 0;
    QByteArray m_in;  // received, not yet taken
    QByteArray m_out; // to send, refused by the connection for now
    std::unique_ptr<char[]> m_chunk;
    QString m_errorText;
    QString m_errorReason;
    int m_lastState = sckClosed;
    qint64 m_consumed = 0;
    bool m_raising = false;
    bool m_reraiseQueued = false;
    bool m_answered = false;                    // something was sent since the last read
    int m_readAheadPause = 0;                   // arrivals left that are not followed by a read
    int m_nextReadAheadPause = kReadAheadPause; // after the next read that finds nothing
};

} // namespace vx

// The socket over Qt TCP, against a server on the loopback address.
#include "TestSupport.h"
#include "TransportTestSupport.h"
#include "transport/QtSocket.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace vx;
using namespace vx::test;

namespace {

struct SocketFixture : ::testing::Test {
    QTcpServer server;
    QtSocket socket;
    QTcpSocket *peer = nullptr;
    QList<int> states;

    void SetUp() override
    {
        ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
        QObject::connect(&socket, &Socket::StateChanged, [this](int s) { states.append(s); });
    }

    // Connects the socket and takes the server's end of the connection.
    void connectPeer()
    {
        socket.setRemoteHost(QStringLiteral("127.0.0.1"));
        socket.setRemotePort(server.serverPort());
        socket.Connect();
        ASSERT_TRUE(
            waitUntil([&] { return socket.State() == Socket::sckConnected && server.hasPendingConnections(); }));
        peer = server.nextPendingConnection();
        ASSERT_NE(peer, nullptr);
    }
};

} // namespace

TEST_F(SocketFixture, ConnectsAndReportsItsStates)
{
    EXPECT_EQ(socket.State(), Socket::sckClosed);
    socket.setRemoteHost(QStringLiteral("127.0.0.1"));
    socket.setRemotePort(server.serverPort());
    EXPECT_EQ(socket.RemoteHost(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(socket.RemotePort(), int(server.serverPort()));
    socket.Connect();
    // Connect() does not wait: the state is intermediate or already there.
    const int first = socket.State();
    EXPECT_TRUE(first == QtSocket::sckConnecting || first == Socket::sckConnected) << first;
    ASSERT_TRUE(waitUntil([&] { return socket.State() == Socket::sckConnected; }));
    ASSERT_FALSE(states.isEmpty());
    EXPECT_EQ(states.last(), Socket::sckConnected);

    socket.Close();
    EXPECT_EQ(socket.State(), Socket::sckClosed);
    EXPECT_EQ(states.last(), Socket::sckClosed);
}

TEST_F(SocketFixture, NagleIsOffOnceConnected)
{
    connectPeer();
    // The socket's descriptor is not exposed; find it through the peer's
    // address among this process's descriptors.
    bool checked = false;
    for (int fd = 3; fd < 1024 && !checked; ++fd) {
        sockaddr_in local{};
        socklen_t len = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len) != 0 || local.sin_family != AF_INET)
            continue;
        if (ntohs(local.sin_port) != peer->peerPort())
            continue;
        int flag = 0;
        socklen_t flagLen = sizeof flag;
        ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &flag, &flagLen), 0);
        EXPECT_NE(flag, 0);
        checked = true;
    }
    EXPECT_TRUE(checked);
}

TEST_F(SocketFixture, PeekLeavesDataAndGetTakesAllOrSome)
{
    connectPeer();
    QList<int> totals;
    QObject::connect(&socket, &Socket::DataArrival, [&](int total) { totals.append(total); });
    peer->write("Connection OK!\rabc60\r");
    ASSERT_TRUE(waitUntil([&] { return socket.PeekData().size() == 21; }));
    ASSERT_FALSE(totals.isEmpty());
    EXPECT_EQ(totals.last(), 21);

    EXPECT_EQ(socket.PeekData(), QByteArray("Connection OK!\rabc60\r"));
    EXPECT_EQ(socket.PeekData(), QByteArray("Connection OK!\rabc60\r"));
    EXPECT_EQ(socket.GetData(15), QByteArray("Connection OK!\r"));
    EXPECT_EQ(socket.PeekData(), QByteArray("abc60\r"));
    EXPECT_EQ(socket.GetData(100), QByteArray("abc60\r"));
    EXPECT_TRUE(socket.PeekData().isEmpty());
    EXPECT_TRUE(socket.GetData().isEmpty());

    peer->write(allByteValues());
    ASSERT_TRUE(waitUntil([&] { return socket.PeekData().size() == 256; }));
    EXPECT_EQ(socket.GetData(), allByteValues());
}

TEST_F(SocketFixture, SendsEveryByteUnchanged)
{
    connectPeer();
    const QByteArray text = allByteValues() + QByteArray("\x06\r");
    socket.SendData(text);
    QByteArray got;
    ASSERT_TRUE(waitUntil([&] {
        got += peer->readAll();
        return got.size() >= text.size();
    }));
    EXPECT_EQ(got, text);
}

// What the connection cannot take at once waits and leaves whole, with what
// was sent after it behind it.
TEST_F(SocketFixture, WhatTheConnectionCannotTakeYetLeavesLaterInOrder)
{
    connectPeer();
    QByteArray text(16 * 1024 * 1024, '\0');
    for (qsizetype i = 0; i < text.size(); ++i)
        text[i] = char(i * 7 % 251);
    const qsizetype first = 12 * 1024 * 1024; // more than the connection takes while the peer reads nothing
    socket.SendData(text.first(first));
    socket.SendData(text.sliced(first));
    QByteArray got;
    ASSERT_TRUE(waitUntil(
        [&] {
            got += peer->readAll();
            return got.size() >= text.size();
        },
        20000));
    EXPECT_TRUE(got == text);
}

// While an arrival handler is set it is told instead of DataArrival; an
// empty one gives the signal back.
TEST_F(SocketFixture, AnArrivalHandlerTakesThePlaceOfTheSignal)
{
    connectPeer();
    int raised = 0;
    QList<int> handled;
    QObject::connect(&socket, &Socket::DataArrival, [&](int) { ++raised; });
    socket.setArrivalHandler([&](int total) {
        handled.append(total);
        socket.GetData();
    });
    peer->write("abc\r");
    ASSERT_TRUE(waitUntil([&] { return !handled.isEmpty(); }));
    EXPECT_EQ(handled, QList<int>{4});
    EXPECT_EQ(raised, 0);
    socket.setArrivalHandler({});
    peer->write("d\r");
    ASSERT_TRUE(waitUntil([&] { return raised == 1; }));
    EXPECT_EQ(handled.size(), 1);
}

TEST_F(SocketFixture, DataThatArrivesDuringAHandlerGetsItsOwnEvent)
{
    connectPeer();
    QByteArray received;
    int events = 0;
    QObject::connect(&socket, &Socket::DataArrival, [&](int) {
        ++events;
        if (events == 1) {
            // The handler lets the event loop turn; more data comes in.
            const int before = socket.PeekData().size();
            peer->write("EOF\r");
            waitUntil([&] { return socket.PeekData().size() > before; }, 2000);
            received += socket.GetData(before);
            return;
        }
        received += socket.GetData();
    });
    peer->write("BOF\r");
    ASSERT_TRUE(waitUntil([&] { return received.size() == 8; }));
    EXPECT_EQ(received, QByteArray("BOF\rEOF\r"));
    EXPECT_EQ(events, 2);
}

TEST_F(SocketFixture, APeerThatClosesLeavesItsLastDataReadable)
{
    connectPeer();
    peer->write("EOF\r");
    peer->flush();
    peer->disconnectFromHost();
    ASSERT_TRUE(waitUntil([&] { return socket.State() == QtSocket::sckClosing; }));
    EXPECT_EQ(socket.GetData(), QByteArray("EOF\r"));
    socket.SendData("lost"); // not connected: logged, nothing sent
    socket.Close();
    EXPECT_EQ(socket.State(), Socket::sckClosed);
}

TEST_F(SocketFixture, ARefusedConnectionIsAnErrorUntilClosed)
{
    // A port nobody listens on: take a free one and give it back.
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const quint16 deadPort = probe.serverPort();
    probe.close();

    socket.setRemoteHost(QStringLiteral("127.0.0.1"));
    socket.setRemotePort(deadPort);
    socket.Connect();
    ASSERT_TRUE(waitUntil([&] { return socket.State() == Socket::sckError; }));
    EXPECT_EQ(states.last(), Socket::sckError);
    EXPECT_FALSE(socket.errorString().isEmpty());
    // It stays in error until the program closes it or connects again.
    waitUntil([] { return false; }, 50);
    EXPECT_EQ(socket.State(), Socket::sckError);
    socket.Close();
    EXPECT_EQ(socket.State(), Socket::sckClosed);
    EXPECT_TRUE(socket.errorString().isEmpty());

    // Connecting again to a listening port works after an error.
    socket.Connect();
    ASSERT_TRUE(waitUntil([&] { return socket.State() == Socket::sckError; }));
    socket.setRemotePort(server.serverPort());
    socket.Connect();
    ASSERT_TRUE(waitUntil([&] { return socket.State() == Socket::sckConnected; }));
}

// A handler that answers is followed by another read at once, without a
// wait in the event loop; a peer that floods the connection must still not
// keep the loop from turning (timers, other channels). The peer writes
// faster than the socket is read, so there is always more to read.
TEST(SocketReadAhead, AFloodingPeerStillLetsTheEventLoopTurn)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&address), length), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);

    constexpr qsizetype kFlood = 32 * 1024 * 1024;
    std::thread flood([listener] {
        const int peer = ::accept(listener, nullptr, nullptr);
        const QByteArray block(64 * 1024, 'r');
        if (peer < 0)
            return;
        for (qsizetype sent = 0; sent < kFlood; sent += block.size())
            if (::write(peer, block.constData(), size_t(block.size())) != block.size())
                break;
        // The answers are read before the end, or closing would reset the
        // connection and take the last blocks with it.
        ::shutdown(peer, SHUT_WR);
        char answers[4096];
        while (::read(peer, answers, sizeof answers) > 0) {
        }
        ::close(peer);
    });

    QtSocket socket;
    qsizetype received = 0;
    socket.setArrivalHandler([&](int) {
        received += socket.GetData().size();
        // Slower than the peer, so that its next block is always there.
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        socket.SendData("\x06"); // answered: the socket reads again at once
    });
    QList<qsizetype> atTicks; // what had come in at each turn of the loop
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { atTicks.append(received); });
    tick.start(0);
    socket.setRemoteHost(QStringLiteral("127.0.0.1"));
    socket.setRemotePort(ntohs(address.sin_port));
    socket.Connect();
    const bool all = waitUntil([&] { return received == kFlood; }, 60000);
    tick.stop();
    socket.Close();
    flood.join();
    ::close(listener);
    ASSERT_TRUE(all) << received;
    // The loop turned many times while the flood was still coming in.
    const auto early =
        std::count_if(atTicks.cbegin(), atTicks.cend(), [](qsizetype got) { return got > 0 && got < kFlood / 2; });
    EXPECT_GE(early, 4) << atTicks.size();
}

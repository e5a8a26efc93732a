#pragma once

#include "transfer/SettingsLinks.h"

#include <QByteArray>
#include <QList>
#include <functional>

namespace vx::test {

// The infrared library in memory: what the program writes goes to the
// responder, whose answer is read back in pieces of at most readChunk bytes.
class FakeIrDevice : public IrDevice {
public:
    int open(int port, int speed) override
    {
        ++opens;
        lastPort = port;
        lastSpeed = speed;
        linkOpen = openResult > 0;
        return openResult;
    }
    void write(const QByteArray &text) override
    {
        writes << text;
        if (responder)
            incoming += responder(text);
    }
    QByteArray read() override
    {
        const QByteArray piece = incoming.left(readChunk);
        incoming.remove(0, piece.size());
        return piece;
    }
    void close() override
    {
        ++closes;
        linkOpen = false;
    }

    int openResult = 1;
    int readChunk = 250;
    int opens = 0;
    int closes = 0;
    int lastPort = 0;
    int lastSpeed = 0;
    bool linkOpen = false;
    QList<QByteArray> writes;
    QByteArray incoming;
    std::function<QByteArray(const QByteArray &)> responder;
};

} // namespace vx::test

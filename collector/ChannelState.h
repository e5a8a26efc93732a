#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace vx {

// The run-time state of one channel, shared by channel opening, reception,
// the step timer and the file exchange. Times are milliseconds on the
// monotonic clock (vx::Clock), so periods that span midnight work. The
// fields are grouped by the states of a channel that they belong to (the
// table in ARCHITECTURE.md, "A channel's states").
struct ChannelState {
    // Opening: what a transport that is still being set up needs.
    bool Connecting = false; // a TCP connection is being made: arrivals are discarded
    bool ModemSetup = false; // a modem command is running: it reads the input itself
    bool ModemConnected = false;
    bool ModemTimedOut = false;

    // Connected: the line being assembled from the terminal's characters.
    QByteArray LineBuffer; // the line being assembled
    bool Overlong = false; // the line being assembled passed the limit and is dropped

    // Connected and idle: the step period after which the collector asks
    // for data (automatic collection, or a request of an outside program).
    bool StepActive = false; // the step period is armed
    qint64 StepInterval = 0; // length of one step period, ms
    qint64 StepStart = 0;    // start of the current step period

    // In a transfer: the record store holds the target's state (its
    // FirstRecord among it).
    quint64 RecordsStored = 0; // records stored into the target since the program started

    // In an exchange: the collector-driven steps GETDATA, RMVDATA, PUTFILE.
    bool Exchange = false;  // a collector-driven exchange is in progress
    bool Requested = false; // an outside program's request holds this channel
    int FileNo = 1;         // 1..5: number of the current exchange step
    QByteArray LastCommand; // last command sent in the exchange

    // Sending a look-up file (the terminal asked with GETFILE).
    bool SendingFile = false;  // a look-up file is being sent
    int FileIndex = 0;         // look-up file requested by the terminal
    int LineNo = 1;            // next line of the look-up file to send
    QByteArray PrevLine = "0"; // last look-up line sent
    QByteArray NextLine = "0"; // look-up line prepared for sending
    bool FileEnd = false;      // the look-up file's "EOF" was sent
    bool LookupAtEnd = false;  // that "EOF" followed the file's last line

    // Waiting for the terminal's reply (an exchange command, a look-up
    // line, a modem command) under the reply time-out. The timer itself is
    // the driver's: the protocol arms it at AckStart + AckTimeout.
    bool AckWait = false;      // a reply is awaited: the reply timer runs
    qint64 AckTimeout = 30000; // reply time-out, ms
    qint64 AckStart = 0;       // when the reply time-out started (last)
    bool TimedOut = false;     // the reply time-out expired
};

} // namespace vx

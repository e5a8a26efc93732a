#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace vx {

// The run-time state of one channel, shared by channel opening, reception,
// the step timer and the file exchange. Times are milliseconds on the
// monotonic clock (vx::Clock), so periods that span midnight work.
struct ChannelState {
    bool StepActive = false;   // the step period is armed
    qint64 StepInterval = 0;   // length of one step period, ms
    qint64 StepStart = 0;      // start of the current step period
    bool TimedOut = false;     // the reply time-out expired
    bool AckWait = false;      // a reply is awaited under the reply time-out
    qint64 AckTimeout = 30000; // reply time-out, ms
    qint64 AckStart = 0;       // when the reply time-out was armed
    bool FirstRecord = true;   // mirrors the record store's flag for the window
    bool SendingFile = false;  // a look-up file is being sent
    int LineNo = 1;            // next line of the look-up file to send
    bool FileEnd = false;      // the look-up file's "EOF" was sent
    bool LookupAtEnd = false;  // that "EOF" followed the file's last line
    QByteArray PrevLine = "0"; // last look-up line sent
    QByteArray NextLine = "0"; // look-up line prepared for sending
    int FileIndex = 0;         // look-up file requested by the terminal
    int FileNo = 1;            // 1..5: number of the current exchange step
    bool Exchange = false;     // a collector-driven exchange is in progress
    bool Requested = false;    // an outside program's request holds this channel
    QByteArray LastCommand;    // last command sent in the exchange
    quint64 RecordsStored = 0; // records stored into the target since the program started

    // Kept beside the table by the window in the original layout.
    QByteArray LineBuffer;   // the line being assembled
    bool Overlong = false;   // the line being assembled passed the limit and is dropped
    bool Connecting = false; // a TCP connection is being made: arrivals are discarded
    bool ModemSetup = false; // a modem command is running: it reads the input itself
    bool ModemConnected = false;
    bool ModemTimedOut = false;
    bool TimeoutBoxOpen = false; // the reply time-out message is on screen
};

} // namespace vx

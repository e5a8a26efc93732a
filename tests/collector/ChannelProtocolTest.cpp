// The channel protocol's rules, each as (state, event) -> (actions, next
// state): a row starts a protocol with its link and settings, puts it in the
// state the rule needs, and feeds events one after the other, each with the
// actions it must give, in order; the last column names the fields of the
// state that the row ends in.
#include "collector/ChannelProtocol.h"
#include "platform/CheckCharacters.h"

#include <QByteArrayList>
#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace vx;
using Action = ChannelProtocol::Action;
using Link = ChannelProtocol::Link;

namespace {

QByteArray Printable(const QByteArray &bytes)
{
    QByteArray out;
    for (const char c : bytes) {
        if (c == '\x06')
            out += "<ACK>";
        else if (c == '\x15')
            out += "<NAK>";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

// The actions as one line of text: "log IN abc60 | store abc".
QByteArray Show(const ChannelProtocol::Actions &actions)
{
    static const char *const kNames[] = {"send",        "store",        "sync",        "begin",      "end-of-data",
                                         "log",         "lookup-start", "lookup-read", "lookup-end", "lookup-close",
                                         "end-request", "exchange",     "timed-out",   "overwrite",  "status",
                                         "arm-reply",   "stop-reply"};
    static const char *const kStatuses[] = {"Paused",        "NoPort",   "RunWait", "Modem",
                                            "TcpConnecting", "TcpReady", "Error"};
    static const char *const kEntries[] = {"", "", "IN ", "OUT ", "STORED "};
    static const char *const kConfirms[] = {"", " !record", " !transfer"};
    QByteArrayList parts;
    for (const Action &a : actions) {
        QByteArray t = kNames[a.kind];
        if ((a.kind >= Action::StartLookup && a.kind <= Action::EndLookup) || a.kind == Action::OverwriteAllowed
            || a.kind == Action::ArmReplyTimer)
            t += " " + QByteArray::number(a.number);
        if (a.kind == Action::Status)
            t += QByteArray(" ") + kStatuses[a.number];
        if (a.kind == Action::Log)
            t += " " + QByteArray(kEntries[int(a.entry)])
                 + Printable((a.entry == Action::Entry::Text ? a.text.toUtf8() : a.bytes).trimmed());
        else if (!a.bytes.isEmpty() || a.kind == Action::Store)
            t += " " + Printable(a.bytes);
        else if (!a.text.isEmpty())
            t += " " + a.text.toUtf8();
        parts << t + kConfirms[int(a.confirms)];
    }
    return parts.join(" | ");
}

// The fields a row may name, as "Field=value" words.
QByteArray Fields(const ChannelProtocol &p)
{
    const ChannelState &s = p.state();
    return QByteArrayLiteral("Exchange=") + QByteArray::number(s.Exchange)
           + " Requested=" + QByteArray::number(s.Requested) + " FileNo=" + QByteArray::number(s.FileNo)
           + " LastCommand=" + Printable(s.LastCommand) + " StepActive=" + QByteArray::number(s.StepActive)
           + " StepStart=" + QByteArray::number(s.StepStart) + " AckWait=" + QByteArray::number(s.AckWait)
           + " AckStart=" + QByteArray::number(s.AckStart) + " TimedOut=" + QByteArray::number(s.TimedOut)
           + " SendingFile=" + QByteArray::number(s.SendingFile) + " FileIndex=" + QByteArray::number(s.FileIndex)
           + " LineNo=" + QByteArray::number(s.LineNo) + " FileEnd=" + QByteArray::number(s.FileEnd) + " Overlong="
           + QByteArray::number(s.Overlong) + " ModemConnected=" + QByteArray::number(s.ModemConnected) + " LineBuffer="
           + QByteArray::number(s.LineBuffer.size()) + " AwaitingStore=" + QByteArray::number(p.awaitingStore());
}

using Event = std::function<void(ChannelProtocol &, ChannelProtocol::Actions &)>;

// Characters arrive at time `now` and every complete line is handled.
Event In(const QByteArray &bytes, qint64 now = 0)
{
    return [bytes, now](ChannelProtocol &p, ChannelProtocol::Actions &out) {
        p.receive(bytes, now, out);
        while (p.next(now, out)) {
        }
    };
}
Event Stored(bool ok, qint64 now = 0)
{
    return [ok, now](ChannelProtocol &p, ChannelProtocol::Actions &out) {
        p.storeOutcome(p.awaitedTicket(), ok, now, out);
    };
}
Event Synced(bool ok)
{
    return [ok](ChannelProtocol &p, ChannelProtocol::Actions &out) { p.syncOutcome(ok, 0, out); };
}
Event Tick(qint64 now)
{
    return [now](ChannelProtocol &p, ChannelProtocol::Actions &out) { p.tick(now, out); };
}
Event LookupLine(const QByteArray &line, bool atEnd = false, qint64 now = 0)
{
    return
        [line, atEnd, now](ChannelProtocol &p, ChannelProtocol::Actions &out) { p.lookupLine(line, atEnd, now, out); };
}
// The reply timer the driver keeps ran out.
Event TimedOut(qint64 now)
{
    return [now](ChannelProtocol &p, ChannelProtocol::Actions &out) { p.replyTimedOut(now, out); };
}
// The driver sent a command of the link and awaits its reply.
Event LinkCommand(qint64 now)
{
    return [now](ChannelProtocol &p, ChannelProtocol::Actions &out) { p.awaitLinkReply(now, out); };
}
const Event LinkReplied = [](ChannelProtocol &p, ChannelProtocol::Actions &out) { p.linkReplyEnded(out); };
Event Connected(qint64 now)
{
    return [now](ChannelProtocol &p, ChannelProtocol::Actions &out) { p.connected(now, out); };
}
Event RequestEnds(const char *code)
{
    return [code](ChannelProtocol &p, ChannelProtocol::Actions &out) { p.endRequest(code, QString(), 0, out); };
}
const Event Lost = [](ChannelProtocol &p, ChannelProtocol::Actions &out) { p.connectionLost(0, out); };
const Event Dropped = [](ChannelProtocol &p, ChannelProtocol::Actions &) { p.dropOutcome(); };
// The driver closed the link (the options, "Chiude Comm", a reopening).
const Event Closed = [](ChannelProtocol &p, ChannelProtocol::Actions &) { p.closed(); };

struct Step {
    Event event;
    QByteArray actions;
};

struct Row {
    const char *rule;
    Link link;
    bool ackNak;
    // The state before the first event, beyond a connected channel.
    std::function<void(ChannelProtocol &)> given;
    std::vector<Step> steps;
    const char *fields; // words of Fields() the row ends with
};

const auto Idle = [](ChannelProtocol &) {};
const auto Accepted = [](ChannelProtocol &p) { p.requestAccepted(0); };
const auto Exchanging = [](const char *lastCommand, int fileNo) {
    return [=](ChannelProtocol &p) {
        p.state().Exchange = true;
        p.state().LastCommand = lastCommand;
        p.state().FileNo = fileNo;
    };
};

// A record line with its check characters and CR.
QByteArray Rec(const QByteArray &text)
{
    return text + XorChecksum(text) + "\r";
}

void RunRows(const std::vector<Row> &rows)
{
    for (const Row &row : rows) {
        SCOPED_TRACE(row.rule);
        ChannelProtocol::Config config;
        config.link = row.link;
        config.ackNak = row.ackNak;
        config.replyTimeout = row.link == Link::Tcp ? 10000 : 0;
        config.autoPeriod = 10000;
        config.requestedFile = [] { return QStringLiteral("0"); };
        ChannelProtocol p(config);
        ChannelProtocol::Actions opening;
        p.connected(0, opening);
        row.given(p);
        int k = 0;
        for (const Step &step : row.steps) {
            SCOPED_TRACE(k++);
            ChannelProtocol::Actions out;
            step.event(p, out);
            EXPECT_EQ(Show(out).toStdString(), step.actions.toStdString());
        }
        const QByteArray fields = Fields(p);
        for (const QByteArray &word : QByteArray(row.fields).split(' ')) {
            if (!word.isEmpty()) {
                EXPECT_TRUE((" " + fields + " ").contains(" " + word + " "))
                    << word.constData() << " in " << fields.constData();
            }
        }
    }
}

const char *const kAckRecord = "log OUT -> ACK, Record accepted | send <ACK> !record";
const char *const kNakRecord = "log OUT -> NAK, Record rejected | send <NAK>";

} // namespace

TEST(ChannelProtocol, Reception)
{
    RunRows({
        {"a checked record is stored without its check characters, then acknowledged",
         Link::Serial,
         true,
         Idle,
         {{In("abc60\r"), "log IN abc60 | store abc"}, {Stored(true), kAckRecord}},
         "AwaitingStore=0"},
        {"a record the store refuses is answered NAK",
         Link::Tcp,
         true,
         Idle,
         {{In("abc60\r"), "log IN abc60 | store abc"}, {Stored(false), kNakRecord}},
         ""},
        {"wrong, short and empty lines fail their check; hex digits in either case",
         Link::Serial,
         true,
         Idle,
         {{In("abc61\r"), "log IN abc61 | log OUT -> NAK, Record rejected | send <NAK>"},
          {In("ab\r"), "log IN ab | log OUT -> NAK, Record rejected | send <NAK>"},
          {In("\r"), kNakRecord},
          {In("xyz7b\r"), "log IN xyz7b | store xyz"}},
         "AwaitingStore=1"},
        {"BOF begins a transfer; EOF is acknowledged once the transfer is synced",
         Link::Tcp,
         true,
         Idle,
         {{In("BOF\r"), "log IN BOF | begin | log OUT -> ACK, Record accepted | send <ACK>"},
          {In("EOF\r"), "log IN EOF | sync"},
          {Synced(true), "log OUT -> ACK, Record accepted | send <ACK> !transfer"}},
         ""},
        {"an EOF whose sync failed is refused",
         Link::Serial,
         true,
         Idle,
         {{In("EOF\r"), "log IN EOF | sync"}, {Synced(false), kNakRecord}},
         ""},
        {"\"None\": every other line is stored and nothing is answered",
         Link::Serial,
         false,
         Idle,
         {{In("BOF\rrec one\r\r\x06"), "log IN BOF | begin | log IN rec one | store rec one"},
          {Stored(true), "log STORED rec one"},
          {In(""), "store "},
          {Stored(false), ""},
          {In("EOF\r"), "log IN EOF | sync"},
          {Synced(false), ""}},
         ""},
        {"serial: LF is dropped, a lone NAK is taken as ACK (no answer outside an exchange)",
         Link::Serial,
         true,
         Idle,
         {{In("\x15"), ""}, {In("d\nef\n67\r"), "log IN def67 | store def"}},
         ""},
        {"TCP: lines of one arrival are handled one at a time, each after the last one's outcome",
         Link::Tcp,
         true,
         Idle,
         {{In(Rec("first") + Rec("second")), "log IN " + Rec("first").trimmed() + " | store first"},
          {Stored(true), kAckRecord},
          {In(""), "log IN " + Rec("second").trimmed() + " | store second"}},
         ""},
        {"TCP: a CR alone completes nothing; a line split over arrivals is joined; NAK is a record failing its "
         "check",
         Link::Tcp,
         true,
         Idle,
         {{In("\r"), ""},
          {In("thi"), ""},
          {In("rd" + XorChecksum("third") + "\r"), "log IN " + Rec("third").trimmed() + " | store third"},
          {Stored(true), kAckRecord},
          {In("\x15\r"), kNakRecord}},
         "LineBuffer=0"},
        {"TCP: a network adapter's greeting is removed at the start of an arrival or behind two characters",
         Link::Tcp,
         true,
         Idle,
         {{In("Connection OK!\r" + Rec("r1")), "log IN " + Rec("r1").trimmed() + " | store r1"},
          {Stored(true), kAckRecord},
          {In("\r\nConnection OK!\r\n" + Rec("r2")), "log IN " + Rec("r2").trimmed() + " | store r2"}},
         ""},
        {"a line past 64 KiB is dropped up to its CR and refused; memory stays bounded",
         Link::Tcp,
         true,
         Idle,
         {{In(QByteArray(70000, 'x')), ""},
          {In("tail\r"), "log IN   <- line longer than 65536 characters dropped | " + QByteArray(kNakRecord)},
          {In(Rec("good")), "log IN " + Rec("good").trimmed() + " | store good"}},
         "Overlong=0 LineBuffer=0"},
        {"an overlong line on a \"None\" channel is logged, never answered",
         Link::Serial,
         false,
         Idle,
         {{In(QByteArray(70000, 'y') + "\r"), "log IN   <- line longer than 65536 characters dropped"}},
         "LineBuffer=0"},
        {"modem: lines shorter than three characters are ignored; CONNECT is the modem's",
         Link::Modem,
         true,
         Idle,
         {{In("OK\r"), "log IN OK"},
          {In("\r"), ""},
          {In("CONNECT 9600\r"), "log IN CONNECT 9600"},
          {In("ab\x15"
              "cd\r"),
           "log IN ab<NAK>cd | log OUT -> NAK, Record rejected | send <NAK>"}},
         "ModemConnected=1"},
        {"lines wait while a record waits for its outcome; a dropped outcome is never answered",
         Link::Tcp,
         true,
         Idle,
         {{In(Rec("one")), "log IN " + Rec("one").trimmed() + " | store one"},
          {In(Rec("two")), ""},
          {Dropped, ""},
          {Stored(true), ""},
          {In(Rec("three")), "log IN " + Rec("three").trimmed() + " | store three"}},
         "AwaitingStore=1"},
    });
}

TEST(ChannelProtocol, CollectorDrivenExchange)
{
    RunRows({
        {"the step period runs out: the next data file is asked for",
         Link::Tcp,
         true,
         Idle,
         {{Tick(9999), ""}, {Tick(10000), "send GETDATA1\\r"}},
         "Exchange=1 LastCommand=GETDATA1 StepStart=10000"},
        {"the data's EOF is answered with RMVDATA once synced; the transfer ends",
         Link::Serial,
         true,
         Exchanging("GETDATA2", 2),
         {{In("EOF\r"), "log IN EOF | sync"}, {Synced(true), "end-of-data | send <ACK>RMVDATA2\\r !transfer"}},
         "LastCommand=RMVDATA2\\r"},
        {"\"None\": the data's EOF is answered with RMVDATA once synced, refused when the sync failed",
         Link::Tcp,
         false,
         Exchanging("GETDATA1", 1),
         {{In("EOF\r"), "log IN EOF | sync"},
          {Synced(false), kNakRecord},
          {In("EOF\r"), "log IN EOF | sync"},
          {Synced(true), "end-of-data | send <ACK>RMVDATA1\\r !transfer"}},
         "LastCommand=RMVDATA1\\r"},
        {"an ACK of RMVDATA offers PUTFILE; on serial PUTFILE1 forbids the overwrite, PUTFILE5 allows it",
         Link::Serial,
         true,
         Exchanging("RMVDATA1\r", 1),
         {{In("\x06"), "overwrite 0 | log OUT PUTFILE1 | send PUTFILE1\\r"},
          {[](ChannelProtocol &p, ChannelProtocol::Actions &) { p.state() = {}; }, ""},
          {[](ChannelProtocol &p, ChannelProtocol::Actions &out) {
               Exchanging("RMVDATA5\r", 5)(p);
               In("\x06")(p, out);
           },
           "overwrite 1 | log OUT PUTFILE5 | send PUTFILE5\\r"}},
         "LastCommand=PUTFILE5\\r"},
        {"TCP: PUTFILE says nothing about the overwrite",
         Link::Tcp,
         true,
         Exchanging("RMVDATA1\r", 1),
         {{In("\x06\r"), "log OUT PUTFILE1 | send PUTFILE1\\r"}},
         ""},
        {"a refused GETDATA lowers the file number and ends the exchange",
         Link::Tcp,
         true,
         Exchanging("GETDATA3", 3),
         {{In("\x15\r"), kNakRecord}},
         "Exchange=0 FileNo=2"},
        {"a refused offer asks for the next data file; after the fifth the exchange ends",
         Link::Tcp,
         true,
         Exchanging("PUTFILE2\r", 2),
         {{In("\x15\r"), "send GETDATA3\\r"},
          {[](ChannelProtocol &p, ChannelProtocol::Actions &out) {
               Exchanging("PUTFILE5\r", 5)(p);
               In("\x15\r")(p, out);
           },
           ""}},
         "Exchange=0 FileNo=1 StepActive=1"},
        {"while collecting, the terminal's characters restart the step period",
         Link::Tcp,
         true,
         Exchanging("GETDATA1", 1),
         {{In("B", 500), ""}},
         "StepStart=500"},
        {"a record waiting for its outcome holds the step period",
         Link::Tcp,
         true,
         Idle,
         {{In(Rec("r")), "log IN " + Rec("r").trimmed() + " | store r"}, {Tick(20000), ""}},
         "Exchange=0"},
    });
}

TEST(ChannelProtocol, LookupFile)
{
    RunRows({
        {"GETFILE and a number starts look-up file 0-5 from its first line",
         Link::Serial,
         true,
         Idle,
         {{In("GETFILE9\r"),
           "log IN GETFILE9 | lookup-start 5 | log OUT -> ACK , BOF - Begin of File Transmission | "
           "send <ACK>BOF\\r | arm-reply 30000"}},
         "SendingFile=1 FileIndex=5 LineNo=1 LastCommand=putfile"},
        {"GETFILE alone is a record failing its check",
         Link::Serial,
         true,
         Idle,
         {{In("GETFILE\r"), "log IN GETFILE | log OUT -> NAK, Record rejected | send <NAK>"}},
         "SendingFile=0"},
        {"each ACK sends the next line under the reply time-out; a refusal or anything else sends it again",
         Link::Tcp,
         true,
         Idle,
         {{In("GETFILE1\r"),
           "log IN GETFILE1 | lookup-start 1 | log OUT -> ACK , BOF - Begin of File Transmission | send "
           "<ACK>BOF\\r | arm-reply 10000"},
          {In("\x15\r"), "log OUT -> ACK , BOF - Begin of File Transmission | send <ACK>BOF\\r"},
          {In("\x06\r", 500), "lookup-read 1"},
          {LookupLine("ONE5A", false, 500), "log OUT ONE5A | send ONE5A\\r | arm-reply 10500"},
          {In("\x15\r", 500), "log OUT ONE5A | send ONE5A\\r"},
          {In("junk\r", 700), "log IN junk | log OUT ONE5A | send ONE5A\\r | arm-reply 10700"}},
         "AckWait=1 AckStart=700 LineNo=2"},
        {"EOF ends the sending and the wait for a reply; its ACK lets the file go (deleted only when every line "
         "went out)",
         Link::Serial,
         true,
         [](ChannelProtocol &p) {
             p.state().SendingFile = true;
             p.state().FileIndex = 2;
             p.state().LineNo = 4;
             p.state().AckWait = true;
         },
         {{In("\x06"), "lookup-read 4"},
          {LookupLine("EOF", true), "log OUT EOF | send EOF\\r | stop-reply"},
          {In("\x06"), "lookup-end 1"}},
         "SendingFile=0 FileEnd=0 AckWait=0 LineNo=1"},
        {"within an exchange, the end of a look-up file asks for the next data file",
         Link::Tcp,
         true,
         [](ChannelProtocol &p) {
             Exchanging("putfile", 1)(p);
             p.state().StepActive = true;
             p.state().SendingFile = true;
             p.state().FileEnd = true;
         },
         {{In("\x06\r"), "lookup-end 0 | send GETDATA2\\r"}},
         "FileNo=2 LastCommand=GETDATA2"},
        {"a silent terminal abandons the sending when the reply timer runs out, once",
         Link::Serial,
         true,
         [](ChannelProtocol &p) {
             p.state().StepActive = false;
             p.state().SendingFile = true;
         },
         {{In("\x06"), "lookup-read 1"},
          {LookupLine("ONE5A"), "log OUT ONE5A | send ONE5A\\r | arm-reply 30000"},
          {Tick(30000), ""},
          {TimedOut(30000), "timed-out"},
          {TimedOut(30100), ""}},
         "SendingFile=0 TimedOut=1 AckWait=0"},
    });
}

TEST(ChannelProtocol, RequestsAndTheLink)
{
    RunRows({
        {"a request's command goes out a step period after its acceptance, under the reply time-out",
         Link::Tcp,
         true,
         Accepted,
         {{Tick(1999), ""}, {Tick(2000), "exchange 2 | log OUT -> GETDATA0 | send GETDATA0\\r | arm-reply 12000"}},
         "Requested=1 StepActive=0 AckWait=1 AckStart=2000 FileNo=0"},
        {"a requesting terminal's characters push the reply time-out on; silence ends the request with 6",
         Link::Tcp,
         true,
         Accepted,
         {{Tick(2000), "exchange 2 | log OUT -> GETDATA0 | send GETDATA0\\r | arm-reply 12000"},
          {In("B", 9000), "arm-reply 19000"},
          {Tick(11000), "exchange 2 | log OUT -> GETDATA0 | send GETDATA0\\r"},
          {TimedOut(19000),
           "timed-out | log Channel 1: the terminal did not answer the request in time; the requested "
           "collection ends. | end-request 6"}},
         "Requested=0 TimedOut=1 StepActive=1 StepStart=19000 AckStart=9000"},
        {"a requested collection's records push the reply time-out on, once per millisecond; its end stops it",
         Link::Tcp,
         true,
         Accepted,
         {{Tick(2000), "exchange 2 | log OUT -> GETDATA0 | send GETDATA0\\r | arm-reply 12000"},
          {In(Rec("r"), 3000), "arm-reply 13000 | log IN " + Rec("r").trimmed() + " | store r"},
          {Stored(true, 3500), "arm-reply 13500 | " + QByteArray(kAckRecord)},
          {In(Rec("s"), 3500), "log IN " + Rec("s").trimmed() + " | store s"},
          {Stored(true, 3500), kAckRecord},
          {RequestEnds("3"), "end-request 3 | stop-reply"}},
         "Requested=0 AckWait=0"},
        {"a Profilo(n) with a line end is refused with 6",
         Link::Serial,
         true,
         [](ChannelProtocol &p) {
             p.config().requestedFile = [] { return QStringLiteral("1\rRMVDATA1"); };
             p.requestAccepted(0);
         },
         {{Tick(2000),
           "exchange 2 | log Profilo(1) holds a carriage return: the request is refused (ID(1) = 6) | "
           "end-request 6"}},
         "Requested=0"},
        {"a refused GETDATA ends a request with 3",
         Link::Tcp,
         true,
         [](ChannelProtocol &p) {
             p.requestAccepted(0);
             Exchanging("GETDATA1", 1)(p);
         },
         {{In("\x15\r"),
           "log Channel 1: the terminal refused GETDATA1; the requested collection ends. | "
           "end-request 3 | "
               + QByteArray(kNakRecord)}},
         "Requested=0"},
        {"the peer going away syncs what was stored and ends what ran",
         Link::Tcp,
         true,
         [](ChannelProtocol &p) {
             p.requestAccepted(0);
             p.state().SendingFile = true;
             p.state().AckWait = true;
             ChannelProtocol::Actions arrived;
             p.receive("part", 0, arrived);
         },
         {{Lost,
           "sync | log Channel 1: the requested collection ends: the connection was lost. | end-request 6 | "
           "stop-reply | lookup-close"}},
         "Requested=0 Exchange=0 SendingFile=0 StepActive=0 LineBuffer=0 AckWait=0"},
        {"a request whose channel is closed ends with 6 at the next tick, even where a TCP connection still "
         "stands; the reply timer left running finds nothing",
         Link::Tcp,
         true,
         Accepted,
         {{Tick(2000), "exchange 2 | log OUT -> GETDATA0 | send GETDATA0\\r | arm-reply 12000"},
          {Closed, ""},
          {[](ChannelProtocol &p, ChannelProtocol::Actions &) { p.setOpen(true); }, ""},
          {Tick(2100), "log Channel 1: the requested collection ends: the channel was closed. | end-request 6"},
          {TimedOut(12000), ""}},
         "Requested=0 AckWait=0 StepActive=0"},
        {"a channel closed and opened again: the request of the link before ends with 6, its partial line is "
         "dropped",
         Link::Serial,
         true,
         Accepted,
         {{Tick(2000), "exchange 2 | log OUT -> GETDATA0 | send GETDATA0\\r | arm-reply 32000"},
          {In("12", 2500), "arm-reply 32500"},
          {Closed, ""},
          {Connected(3000),
           "log Channel 1: the requested collection ends: the channel was closed. | end-request 6 | status RunWait"},
          {In(Rec("r"), 3000), "log IN " + Rec("r").trimmed() + " | store r"},
          {TimedOut(32500), ""}},
         "Requested=0 AckWait=0 StepActive=1 StepStart=3000"},
        {"a look-up sending cut by a close answers no line of the link opened again",
         Link::Serial,
         true,
         Idle,
         {{In("GETFILE1\r"),
           "log IN GETFILE1 | lookup-start 1 | log OUT -> ACK , BOF - Begin of File Transmission | "
           "send <ACK>BOF\\r | arm-reply 30000"},
          {Closed, ""},
          {Connected(100), "status RunWait"},
          {In("BOF\r"), "log IN BOF | begin | log OUT -> ACK, Record accepted | send <ACK>"}},
         "SendingFile=0 AckWait=0"},
    });
}

TEST(ChannelProtocol, StatusAndTheReplyTimer)
{
    RunRows({
        {"an opened serial link shows Run/Wait", Link::Serial, true, Idle, {{Connected(0), "status RunWait"}}, ""},
        {"an opened TCP link shows TCP Ready", Link::Tcp, true, Idle, {{Connected(0), "status TcpReady"}}, ""},
        {"an opened modem shows nothing yet: its status follows its commands",
         Link::Modem,
         true,
         Idle,
         {{Connected(0), ""}},
         ""},
        {"a link command's reply is awaited under the link's time-out; the timer is armed again only when its "
         "deadline moves, and stopped once",
         Link::Tcp,
         true,
         Idle,
         {{LinkCommand(100), "arm-reply 10100"},
          {LinkCommand(100), ""},
          {LinkCommand(300), "arm-reply 10300"},
          {LinkReplied, "stop-reply"},
          {LinkReplied, ""},
          {TimedOut(10300), ""}},
         "AckWait=0 TimedOut=0"},
        {"a serial link keeps the reply time-out in force (30 s)",
         Link::Serial,
         true,
         Idle,
         {{LinkCommand(0), "arm-reply 30000"}},
         "AckWait=1"},
        {"the link opening again stops a wait",
         Link::Tcp,
         true,
         Idle,
         {{LinkCommand(0), "arm-reply 10000"}, {Connected(50), "stop-reply | status TcpReady"}},
         "AckWait=0"},
    });
}

TEST(ChannelProtocol, RequestsMeetTheChannelStatus)
{
    const struct {
        ChannelStatus status;
        bool serves;
        const char *refusal;
    } rows[] = {
        {ChannelStatus::Paused, false, ""},         {ChannelStatus::NoPort, false, "5"},
        {ChannelStatus::RunWait, true, ""},         {ChannelStatus::Modem, false, "9"},
        {ChannelStatus::TcpConnecting, false, "6"}, {ChannelStatus::TcpReady, true, ""},
        {ChannelStatus::Error, false, "6"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(int(row.status));
        EXPECT_EQ(ChannelProtocol::ServesRequests(row.status), row.serves);
        EXPECT_EQ(ChannelProtocol::RequestRefusal(row.status).toStdString(), row.refusal);
    }
}

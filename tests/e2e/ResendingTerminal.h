#pragma once

#include "tools/simterm/SimTerminal.h"

#include <QHash>
#include <climits>
#include <memory>

namespace vx::test {

// A simulated terminal that behaves like a real one: a record is sent again
// until it gets its ACK, and after a new connection the transfer starts
// again with "BOF" before the pending record. It keeps every record that was
// acknowledged, with the attempts it took.
struct ResendingTerminal {
    std::unique_ptr<sim::SimTerminal> sim = std::make_unique<sim::SimTerminal>();
    QByteArray tag;     // the records' first field
    int letterStep = 1; // their filler letters start at i * letterStep + letterShift
    int letterShift = 0;
    int nextRecord = 1;
    int transfers = 0;
    QHash<QByteArray, int> acked;
    int naks = 0;
    int resends = 0;

    // Record i: "<tag>;<8 digits>;<letters>", 40 characters.
    QByteArray recordText(int i) const
    {
        QByteArray r = tag + ";" + QByteArray::number(i).rightJustified(8, '0') + ";";
        for (int k = 0; r.size() < 40; ++k)
            r += char('A' + (i * letterStep + letterShift + k) % 26);
        return r;
    }
    // A stored text is whole when it is one of this terminal's records.
    bool isRecord(const QByteArray &text) const
    {
        return text.startsWith(tag + ";") && text.size() == 40
               && text == recordText(text.mid(tag.size() + 1, 8).toInt());
    }

    // The next count records (fewer when last comes first).
    void startTransfer(int count, int answerTimeoutMs, int last = INT_MAX)
    {
        QList<QByteArray> records;
        for (int k = 0; k < count && nextRecord <= last; ++k)
            records.append(recordText(nextRecord++));
        sim::SendOptions o;
        o.resendUntilAck = true;
        o.bofOnReconnect = true;
        o.answerTimeoutMs = answerTimeoutMs;
        sim->startTransfer(records, o);
    }

    // Takes in the transfer that has just finished.
    void collect()
    {
        const sim::SimTerminal::TransferResult &r = sim->lastTransfer();
        naks += r.naked;
        resends += r.resends;
        ++transfers;
        for (const sim::SimTerminal::LineResult &line : r.lines) {
            QByteArray text;
            if (line.kind == sim::SimTerminal::LineKind::Record && line.answer == sim::SimTerminal::Answer::Ack
                && sim::SplitCheckedLine(line.line, &text))
                acked.insert(text, line.attempts);
        }
    }

    // Against the records stored (text -> times stored): the acknowledged
    // records missing, the extra copies of this terminal's records, and
    // those of them that were never sent twice.
    struct Tally {
        int lost = 0;
        int duplicates = 0;
        int duplicatesNeverResent = 0;
    };
    Tally tally(const QHash<QByteArray, int> &stored) const
    {
        Tally t;
        for (auto it = acked.cbegin(); it != acked.cend(); ++it)
            t.lost += stored.contains(it.key()) ? 0 : 1;
        for (auto it = stored.cbegin(); it != stored.cend(); ++it) {
            if (it.value() < 2 || !it.key().startsWith(tag + ";"))
                continue;
            t.duplicates += it.value() - 1;
            t.duplicatesNeverResent += acked.value(it.key(), 0) < 2 ? 1 : 0;
        }
        return t;
    }
};

} // namespace vx::test

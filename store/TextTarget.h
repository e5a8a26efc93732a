#pragma once

#include "store/PathWatch.h"
#include "store/RecordTarget.h"

namespace vx {

// A target that is a text file: every record one line (CR LF) at its end,
// the file made when missing. "TXT (*.txt)" writes the record as it is
// (into the data exchange's File(n) while a collection started through it
// runs), "CSV (*.csv)" with every separator replaced by ",", and a Type the
// program does not know writes the record as it is.
//
// While a channel's records come one after the other the file stays open,
// locked against other writers: each record then costs a look at the path
// (still this regular file?) and one write. It is let go at the end of the
// transfer and when the channel has been quiet a moment; after it has been
// held a while only its lock goes (another collector writing the same file
// gets its turn), and the next record takes the lock again.
class TextTarget : public RecordTarget {
public:
    enum class Kind { Txt, Csv, Other };
    // separator: what a CSV record's fields are separated by (none: the
    // record is written as it is).
    TextTarget(const TargetContext &context, Kind kind, QByteArray separator);
    ~TextTarget() override;

    // The separator a CSV target takes from SepCode: none for "None", a
    // blank for "Space", otherwise the text itself.
    static QByteArray CsvSeparator(const QString &sepCode);

    Result StoreHeld(const QByteArray &record) override;
    Result StoreOpening(const QByteArray &record) override;
    bool Store(const QByteArray &record) override;
    void Close() override { Release(); }
    void LetGo(const QString &path) override;
    bool ReleaseIdle(qint64 now) override;

private:
    // The line the file gets for a record; false while a data-exchange
    // File(n) may redirect the records of a "TXT" target.
    bool Line(const QByteArray &record, QByteArray *line) const;
    Result WriteHeld(const QByteArray &line);
    bool AppendLine(const QString &path, const QByteArray &text);
    void Release();

    const Kind m_kind;
    const QByteArray m_separator;
    // The file held open between records, and locked (m_locked) unless it
    // was let go after being held long.
    int m_fd = -1;
    bool m_locked = false;
    QString m_path;
    PathWatch m_watch;
    qint64 m_lockedAtMs = 0;
    qint64 m_lastUseMs = 0;
    bool m_noted = false; // among the channel's unsynced files
    QByteArray m_line;    // the held file's next line, its room kept
};

} // namespace vx

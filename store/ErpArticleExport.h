#pragma once

#include "store/ErpDatabase.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVariant>
#include <vector>

namespace vx {

// Produces the article list of a look-up file flagged IsZucchetti from the
// ERP query "qryinputArticoliCPT", one line at a time as the terminal asks
// for it. A line is 52 characters:
//   1-15  art_codice, left-aligned, padded with blanks or cut
//   16-22 lis_prezzo_1 as a whole number with leading zeros ("0000125")
//   23-52 art_descrizione1, left-aligned, padded with blanks or cut
// followed by its two check characters.
//
// Each sending (a session: one per channel) reads the list in growing
// chunks and keeps what it has read, so the cost per line stays the same
// however far into the list the terminal is, and no read lock is held on
// the database between lines. Asking for line 1 starts the list afresh.
class ErpArticleExport {
public:
    explicit ErpArticleExport(ErpContext context);

    // Line lineNo (counted from 1) of the article list of the ERP database
    // at dbPath, with its check characters; "EOF" after the last article
    // (at once for an empty list or a list that cannot be read). A missing
    // database shows its message, ends the program and gives "EOF".
    QByteArray ArticleLine(const QString &dbPath, int lineNo, int session = 0);

    // Forgets what a session has read, so its next line re-reads the
    // database. Call it when a new look-up file sending starts.
    void Reset(int session);
    void ResetAll();

    // The 52-character line of one article, without check characters.
    // Null values count as empty (an empty price gives "0000000"); a price
    // is rounded to a whole number; control characters become blanks so a
    // line never breaks the line protocol.
    static QByteArray FormatLine(const QVariant &code, const QVariant &price, const QVariant &description);

    // Rows read from the database per chunk, at least; later chunks grow with
    // what has been read so far.
    static constexpr int FirstChunk = 512;

private:
    struct Session {
        QString path;
        std::vector<QByteArray> lines; // with check characters
        bool complete = false;         // the last article has been read
    };
    // Reads the next chunk of the session's list; false when the database
    // is missing.
    bool readChunk(Session &session, int channel);

    ErpContext m_context;
    QHash<int, Session> m_sessions;
};

} // namespace vx

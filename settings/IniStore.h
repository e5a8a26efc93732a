#pragma once

#include <QByteArray>
#include <QString>
#include <vector>

namespace vx {

// The per-user settings store over Vendrix.ini.
//
// "[Section]" lines carry the section name literally ("[Com(1)]"); a
// "Key=Value" line's value is every byte after the first "=" up to the line
// end, blanks kept ("DelAfterSend= 1"). Section and key look-ups ignore
// letter case. Lines the program does not know (comments, junk, keys of
// other programs) are kept as they are. A UTF-8 byte-order mark at the start
// of the file is read past, and kept by a save. Saving writes a new file, syncs it
// and renames it over the old one, readable by its owner only.
//
// Every write is saved at once, like a registry write, unless a batch is
// open (SaveSettings writes its 115 keys in one batch). A read first picks
// up changes that another program made to the file.
class IniStore {
public:
    explicit IniStore(QString path);

    QString path() const { return m_path; }

    QString read(const QString &section, const QString &key, const QString &defaultValue) const;
    void write(const QString &section, const QString &key, const QString &value);
    bool contains(const QString &section, const QString &key) const;

    // Holds saving back until the matching endBatch(); nests.
    void beginBatch();
    bool endBatch();

    // Writes the file now; false (and errorText()) when that failed.
    bool save();
    QString errorText() const { return m_error; }

    // Number of key lines in all sections (for checks and tests).
    int keyCount() const;
    // The lines that set nothing although they are no comment and not
    // blank: no "=" in them, or nothing before it. Each as its section's
    // header, a blank and the line ("[Com(1)] ConnType").
    QStringList linesWithoutKey() const;

    // Why the file on disk is not used, empty when it is: it cannot be read
    // (not a regular file, too large, no permission) or does not parse at
    // all (no "[Section]" line: binary data, another format). The store
    // then keeps what it held before (the defaults at start-up) and never
    // saves over the file, until the file is repaired or removed.
    QString problem() const
    {
        reloadIfChanged();
        return m_problem;
    }
    // The largest file taken as settings.
    static constexpr qint64 kMaxFileBytes = 1024 * 1024;

private:
    struct Line {
        QByteArray raw; // the line as read, without its line end
        QByteArray key; // trimmed key of a Key=Value line, else empty
        bool isKey = false;
    };
    struct Section {
        QByteArray header; // the "[...]" line as read; empty for the lines before any section
        QString name;      // the name between the brackets
        std::vector<Line> lines;
    };

    void reloadIfChanged() const;
    void parse(const QByteArray &content) const;
    const Section *findSection(const QString &name) const;
    Section *findSection(const QString &name);
    static const Line *findKey(const Section &s, const QString &key);
    static Line *findKey(Section &s, const QString &key);

    QString m_path;
    mutable std::vector<Section> m_sections;
    mutable qint64 m_stampNs = -1; // modification time of the file last read
    mutable qint64 m_stampSize = -1;
    mutable QString m_problem;
    mutable bool m_stampRead = false;
    mutable bool m_byteOrderMark = false; // the file began with one; a save keeps it
    int m_batch = 0;
    bool m_dirty = false;
    QString m_error;
};

} // namespace vx

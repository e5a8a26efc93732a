#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <vector>

namespace vx {

// A look-up file read line by line while it is sent to a terminal. The file
// stays open for the whole sending and the start of every line is noted as
// the reading goes, so line k costs the same whatever k is. Lines end with
// CR LF or LF; a last line without a line end counts.
class LookupFile {
public:
    // Opens path; false when it cannot be read.
    bool open(const QString &path);
    void close();
    bool isOpen() const { return m_file.isOpen(); }
    QString path() const { return m_path; }

    // Line lineNo (from 1) without its line end; false after the last line.
    bool line(int lineNo, QByteArray *text);
    // The whole file has been scanned; then lineCount() is its number of lines.
    bool complete() const { return m_complete; }
    int lineCount() const { return static_cast<int>(m_starts.size()) - 1; }

private:
    bool scanTo(int lineNo);

    QString m_path;
    QFile m_file;
    std::vector<qint64> m_starts; // start offsets of the lines found so far
    bool m_complete = false;      // the whole file has been scanned
};

} // namespace vx

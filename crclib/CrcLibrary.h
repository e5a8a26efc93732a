#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

namespace vx {

class Messenger;

// The program's side of libVendrix.so. The library is loaded by name from
// the program folder at the first checksum and stays loaded for the rest of
// the process. When it cannot be loaded the user is told once (message and
// log) and every call reports failure through ok().
class CrcLibrary {
public:
    // The process-wide binding, bound to the program folder.
    static CrcLibrary &instance();

    explicit CrcLibrary(QString libraryPath);
    ~CrcLibrary();
    CrcLibrary(const CrcLibrary &) = delete;
    CrcLibrary &operator=(const CrcLibrary &) = delete;

    // Where load failures are reported; none means the log only.
    void setMessenger(Messenger *messenger) { m_messenger = messenger; }

    // Loads the library and binds the three functions if not done yet.
    bool ensureLoaded();
    bool ok() const { return m_begin && m_crc && m_end; }
    QString errorText() const { return m_error; }

    uint32_t begin();
    uint32_t feed(const QByteArray &text, uint32_t reg);
    // The finished value; hex receives the 8 upper-case digits.
    uint32_t end(uint32_t reg, QByteArray *hex = nullptr);

    // The checksum of the concatenation of pieces, as 8 hex digits; empty
    // when the library is not available.
    QByteArray checksum(const QList<QByteArray> &pieces);

private:
    using BeginFn = uint32_t (*)();
    using CrcFn = uint32_t (*)(const char *, uint32_t);
    using EndFn = uint32_t (*)(uint32_t, char **);

    QString m_path;
    void *m_handle = nullptr;
    BeginFn m_begin = nullptr;
    CrcFn m_crc = nullptr;
    EndFn m_end = nullptr;
    bool m_tried = false;
    QString m_error;
    Messenger *m_messenger = nullptr;
};

} // namespace vx

#include "crclib/CrcLibrary.h"

#include "platform/Messenger.h"
#include "platform/Paths.h"

#include <QDebug>
#include <QList>
#include <dlfcn.h>

namespace vx {

CrcLibrary &CrcLibrary::instance()
{
    static CrcLibrary library(Paths::programDir() + QStringLiteral("/libVendrix.so"));
    return library;
}

CrcLibrary::CrcLibrary(QString libraryPath) : m_path(std::move(libraryPath)) {}

CrcLibrary::~CrcLibrary()
{
    // The library stays loaded until the process ends; a private instance
    // (tests) gives its handle back.
    if (m_handle && this != &instance())
        dlclose(m_handle);
}

bool CrcLibrary::ensureLoaded()
{
    if (ok())
        return true;
    if (m_tried)
        return false;
    m_tried = true;
    m_handle = dlopen(m_path.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) {
        m_error = QStringLiteral("The checksum library %1 cannot be loaded: %2")
                      .arg(m_path, QString::fromLocal8Bit(dlerror()));
    } else {
        m_begin = reinterpret_cast<BeginFn>(dlsym(m_handle, "BeginCrc32"));
        m_crc = reinterpret_cast<CrcFn>(dlsym(m_handle, "Crc32"));
        m_end = reinterpret_cast<EndFn>(dlsym(m_handle, "EndCrc32"));
        if (!ok())
            m_error = QStringLiteral("The checksum library %1 lacks BeginCrc32, Crc32 or EndCrc32.").arg(m_path);
    }
    if (!ok()) {
        m_begin = nullptr;
        m_crc = nullptr;
        m_end = nullptr;
        qWarning().noquote() << m_error;
        if (m_messenger)
            m_messenger->message(m_error, MsgIcon::Critical);
        return false;
    }
    return true;
}

uint32_t CrcLibrary::begin()
{
    return ensureLoaded() ? m_begin() : 0xFFFFFFFFu;
}

uint32_t CrcLibrary::feed(const QByteArray &text, uint32_t reg)
{
    if (!ensureLoaded())
        return reg;
    return m_crc(text.constData(), reg);
}

uint32_t CrcLibrary::end(uint32_t reg, QByteArray *hex)
{
    if (!ensureLoaded()) {
        if (hex)
            hex->clear();
        return reg ^ 0xFFFFFFFFu;
    }
    char buffer[10] = {};
    char *out = buffer;
    const uint32_t value = m_end(reg, &out);
    if (hex)
        *hex = QByteArray(buffer, 8);
    return value;
}

QByteArray CrcLibrary::checksum(const QList<QByteArray> &pieces)
{
    if (!ensureLoaded())
        return {};
    uint32_t reg = begin();
    for (const QByteArray &piece : pieces)
        reg = feed(piece, reg);
    QByteArray hex;
    end(reg, &hex);
    return hex;
}

} // namespace vx

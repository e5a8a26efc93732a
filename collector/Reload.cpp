// Reloading the settings while running (SIGHUP): what the options dialog
// does around its changes, without the dialog.
#include "collector/Collector.h"

#include "collector/LookupFile.h"
#include "collector/RegistryExchange.h"
#include "settings/IniStore.h"
#include "transport/SerialPort.h"
#include "transport/Socket.h"

namespace vx {

void Collector::ReloadSettings()
{
    // A collection requested through the data exchange cannot go on over
    // channels that close: the outside program learns it ended without its
    // transfer and may ask again.
    for (int n = 1; n <= kChannels; ++n)
        endRequest(n, QStringLiteral("6"),
                   QStringLiteral("The request %1 ends with the reload (%1 = 6)").arg(m_requestKey));
    m_requestKey.clear();
    m_exchangeActive = false;
    for (int n = 1; n <= kChannels; ++n) {
        // What the channel stored so far reaches the disk before it closes.
        m_recordStore->SyncTarget(n);
        CloseComm(n);
        stopTcp(n);
        if (m_socket[n]->State() != Socket::sckClosed)
            m_socket[n]->Close();
        m_lookup[n]->close();
        m_protocol[n].reset();
        m_replyTimer[n] = ReplyTimer();
    }
    LoadSettingsAndOpen();
}

} // namespace vx

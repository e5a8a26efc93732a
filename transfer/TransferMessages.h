#pragma once

#include <QString>

namespace vx::TransferText {

// Outcomes of sending a profile to a terminal.
inline QString sendSuccess()
{
    return QStringLiteral("ATTENZIONE!! Trasmissione del Profilo al Terminale eseguita con successo!");
}
inline QString sendChecksumError()
{
    return QStringLiteral(
        "ATTENZIONE!! La Trasmissione del Profilo al Terminale non \u00e8 andata a buon "
        "fine per Errore nel Checksum crc di controllo! Si prega di riprovare.");
}
inline QString sendTimeout()
{
    return QStringLiteral(
        "ATTENZIONE!! Timeout della Trasmissione del Profilo al Terminale! Si prega di "
        "verificare la connessione e riprovare.");
}
inline QString sendFailure()
{
    return QStringLiteral(
        "ATTENZIONE!! La Trasmissione del Profilo al Terminale non \u00e8 andata a buon "
        "fine! Si prega di verificare la connessione e riprovare.");
}
inline QString cantOpenPort()
{
    return QStringLiteral("WARNING: can't open com port");
}
inline QString profileMissing()
{
    return QStringLiteral("Profile Settings not existent");
}

// Receiving a terminal's settings.
inline QString receiveError()
{
    return QStringLiteral("Error Receiving Settings, Please Try again.");
}
inline QString receivedAskImport()
{
    return QStringLiteral("Settings Received!\nPress OK to import.");
}
inline QString importError()
{
    return QStringLiteral("Error saving the profile. Please try again");
}
inline QString receiveEventError()
{
    return QStringLiteral("Errore ricezione profilo");
}

// Window texts.
inline QString sendCaption()
{
    return QStringLiteral("SENDING Settings");
}
inline QString receiveCaption()
{
    return QStringLiteral("RECEIVING Settings");
}
inline QString sendHint()
{
    return QStringLiteral("Set the terminal in receiving mode and then press START");
}
inline QString receiveHint()
{
    return QStringLiteral("Press START and set the terminal in TX mode");
}

// The file dialogs of the profile editor's send and receive commands.
inline QString sendDialogTitle()
{
    return QStringLiteral("Send profile...");
}
inline QString receiveDialogTitle()
{
    return QStringLiteral("Receive As...");
}
inline QString profileFilter()
{
    return QStringLiteral("Vendrix Profiles (*.VDX)|*.VDX");
}

} // namespace vx::TransferText

#include "transfer/SettingsImport.h"

#include "platform/Messenger.h"
#include "platform/OwnFiles.h"
#include "profiles/ProfileFile.h"
#include "transfer/SettingsLine.h"
#include "transfer/SettingsReceiver.h"
#include "transfer/TransferMessages.h"

#include <QFile>
#include <QSaveFile>
#include <sys/stat.h>

namespace vx {

bool IsTransferOnlyKey(const QByteArray &key)
{
    static const QByteArray keys[] = {"SETTINGS", "BOF", "EOF", "VERSION", "HARDWARE", "FIRMWARE"};
    for (const QByteArray &k : keys)
        if (key == k)
            return true;
    return false;
}

namespace {

// The process's file mode creation mask, read without changing it (umask()
// would set it, for a moment, for every thread of the program).
mode_t currentUmask()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.read(64 * 1024).split('\n')) {
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok)
                    return mode_t(mask & 0777);
            }
        }
    }
    return 077; // not known: the narrowest
}

// The mode a received profile gets: that of the profile it replaces, so a
// profile kept private stays private; a new one as any file the user makes
// (0666 less the umask).
mode_t receivedProfileMode(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode))
        return st.st_mode & 07777;
    return 0666 & ~currentUmask();
}

} // namespace

bool ImportSettings(const QString &tempPath, const QString &targetPath, QString *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (!QFile::exists(tempPath))
        return fail(QStringLiteral("The received settings cannot be imported: the scratch file %1 does not exist; "
                                   "receive them again.")
                        .arg(tempPath));
    QList<QByteArray> items;
    if (!ReadSettingsItems(tempPath, &items))
        return fail(QStringLiteral("The received settings cannot be imported: the scratch file %1 cannot be read; "
                                   "receive them again.")
                        .arg(tempPath));

    QByteArray content;
    for (const QByteArray &item : std::as_const(items)) {
        if (IsTransferOnlyKey(SettingsItemKey(item)))
            continue;
        content += item;
        content += "\r\n";
    }
    // The previous profile is replaced only by one that reads back as a
    // profile, as every use will read it.
    ProfileSet scratch;
    const ProfileReadResult check = ParseProfileText(content, scratch);
    if (!check.ok()) {
        QFile::remove(tempPath);
        return fail(check.message(QStringLiteral("the received settings")));
    }
    QString why;
    if (!ReplaceFileWith(targetPath, content, receivedProfileMode(targetPath), &why))
        return fail(QStringLiteral("The received settings cannot be saved to %1: %2; choose another file, or make "
                                   "room there, and receive them again.")
                        .arg(targetPath, why));
    QFile::remove(tempPath);
    return true;
}

ImportResult CompleteSettingsReception(ReceiveOutcome outcome, const QString &tempPath, const QString &targetPath,
                                       ProfileSet *set, Messenger &messenger, bool askFirst)
{
    switch (outcome) {
    case ReceiveOutcome::Accepted:
        break;
    case ReceiveOutcome::CrcMismatch:
    case ReceiveOutcome::CancelledAfterEof:
    case ReceiveOutcome::NothingReceived:
        messenger.message(TransferText::receiveError(), MsgIcon::Information);
        return ImportResult::Failed;
    case ReceiveOutcome::TooLarge:
    case ReceiveOutcome::TooLong:
    case ReceiveOutcome::HungUp:
        messenger.message(ReceiveOutcomeText(outcome), MsgIcon::Critical);
        return ImportResult::Failed;
    default:
        // Cancelled before "EOF", or the reception never started (the window
        // said why at the time).
        return ImportResult::Nothing;
    }
    if (askFirst
        && messenger.message(TransferText::receivedAskImport(), MsgIcon::Information, MsgButtons::OkCancel)
               != MsgAnswer::Ok) {
        QFile::remove(tempPath);
        return ImportResult::Declined;
    }
    QString error;
    if (!ImportSettings(tempPath, targetPath, &error)) {
        QFile::remove(tempPath);
        messenger.message(TransferText::importError(), MsgIcon::Information);
        if (!error.isEmpty())
            messenger.message(error, MsgIcon::Information);
        return ImportResult::Failed;
    }
    if (set && !ReadProfileFile(targetPath, *set, messenger))
        return ImportResult::Failed;
    return ImportResult::Imported;
}

} // namespace vx

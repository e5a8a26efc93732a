#include "ui/StandaloneWindows.h"

#include "platform/FileLock.h"
#include "platform/Paths.h"
#include "profiles/ProfileSet.h"
#include "settings/IniStore.h"
#include "settings/Settings.h"
#include "ui/AppIcon.h"
#include "ui/QtMessenger.h"
#include "ui/options/frmOptions.h"
#include "ui/profile/frmProfile.h"

#include <QDialog>
#include <csignal>

namespace vx {

int RunProfileEditorAlone(const QString &file)
{
    QtMessenger messenger(nullptr, QStringLiteral("Vendrix PC"));
    Messenger::setCurrent(&messenger);
    ProfileWorkspace workspace;
    frmProfile editor(workspace, messenger);
    editor.ShowFileMenu();
    messenger.setParent(&editor);
    int code = 0;
    if (!file.isEmpty() && !editor.OpenOrCreate(file))
        code = 1; // the reader has told why; the editor still opens on a new profile
    editor.exec();
    Messenger::setCurrent(nullptr);
    return code;
}

int RunOptionsAlone()
{
    IniStore store(Paths::settingsFile());
    Settings settings = Settings::defaults();
    LoadSettings(store, settings);
    QtMessenger messenger(nullptr, QStringLiteral("Vendrix"));
    Messenger::setCurrent(&messenger);
    frmOptions dialog(settings, store, messenger);
    dialog.setWindowIcon(AppIcon());
    messenger.setParent(&dialog);
    const bool saved = dialog.exec() == QDialog::Accepted;
    if (saved) {
        // The collector of this data folder, if one runs, reads the file again.
        const qint64 pid = FileLock::SignalInstanceHolder(Paths::dataFile(QStringLiteral("Vendrix.lock")), SIGHUP);
        if (pid > 0)
            messenger.message(
                QStringLiteral("The collector running on this data folder (PID %1) was told to read the settings "
                               "again; its channels reopen with them.")
                    .arg(pid),
                MsgIcon::Information, MsgButtons::Ok, QStringLiteral("Vendrix"));
        else if (pid < 0)
            messenger.message(QStringLiteral("A collector runs on this data folder but could not be told to read "
                                             "the settings again: restart it to use them."),
                              MsgIcon::Exclamation, MsgButtons::Ok, QStringLiteral("Vendrix"));
    }
    Messenger::setCurrent(nullptr);
    return 0; // Cancel is not a failure
}

} // namespace vx

#include "ui/profile/ProfileSubEditors.h"

#include "platform/Messenger.h"
#include "ui/profile/ExtFileLinkWindows.h"
#include "ui/profile/frmBCTable.h"
#include "ui/profile/frmProfileComm.h"

namespace vx {

namespace {

template <typename Window>
void showModal(ProfileWorkspace &ws, QWidget *parent)
{
    Window window(ws, parent);
    window.exec();
}

} // namespace

void ShowProfileComm(ProfileWorkspace &ws, QWidget *parent)
{
    showModal<frmProfileComm>(ws, parent);
}

void ShowBCTable(ProfileWorkspace &ws, QWidget *parent)
{
    showModal<frmBCTable>(ws, parent);
}

void ShowExtFileJoinKey(ProfileWorkspace &ws, QWidget *parent)
{
    // The keys belong to a look-up file: without one there is nothing to join.
    const ProfileFunction &function = ws.Profile.Functions[qBound(0, int(ws.CurrentFunction), 4)];
    if (!LinkedLayout(ws.Profile, function)) {
        Messenger::current().message(NoLinkedFileText(), MsgIcon::Exclamation);
        return;
    }
    showModal<frmExtFileJoinKey>(ws, parent);
}

void ShowExtFileFieldsToShow(ProfileWorkspace &ws, QWidget *parent)
{
    showModal<frmExtFileFieldsToShow>(ws, parent);
}

void ShowExtFileFieldsToRetrieve(ProfileWorkspace &ws, QWidget *parent)
{
    showModal<frmExtFileFiledsToRetrieve>(ws, parent);
}

void ShowExtFileFieldsToUpdate(ProfileWorkspace &ws, QWidget *parent)
{
    showModal<frmExtFileFieldsToUpdate>(ws, parent);
}

} // namespace vx

#pragma once

class QWidget;

namespace vx {

struct ProfileWorkspace;

// The sub-editors of the profile editor. Each opens its window modally on
// the workspace's CurrentFunction (the barcode table also on its
// CurrentBarcodeField); their controls write the profile at once.
void ShowProfileComm(ProfileWorkspace &ws, QWidget *parent);
void ShowBCTable(ProfileWorkspace &ws, QWidget *parent);
void ShowExtFileJoinKey(ProfileWorkspace &ws, QWidget *parent);
void ShowExtFileFieldsToShow(ProfileWorkspace &ws, QWidget *parent);
void ShowExtFileFieldsToRetrieve(ProfileWorkspace &ws, QWidget *parent);
void ShowExtFileFieldsToUpdate(ProfileWorkspace &ws, QWidget *parent);

} // namespace vx

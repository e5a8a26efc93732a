#pragma once

#include <QIcon>
#include <QPixmap>

namespace vx {

// The program's icon (window, tray, About): a barcode on a white label,
// drawn at the usual icon sizes so it needs no image files.
QIcon AppIcon();
// The same drawing at one size (the installed icon theme files use it).
QPixmap AppIconPixmap(int size);

} // namespace vx

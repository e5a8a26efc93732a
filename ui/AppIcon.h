#pragma once

#include <QIcon>

namespace vx {

// The program's icon (window, tray, About): a barcode on a white label,
// drawn at the usual icon sizes so it needs no image files.
QIcon AppIcon();

} // namespace vx

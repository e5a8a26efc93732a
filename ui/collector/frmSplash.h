#pragma once

#include <QFrame>

namespace vx {

// The window shown while the collector starts: product name and version.
class frmSplash : public QFrame {
    Q_OBJECT
public:
    explicit frmSplash(QWidget *parent = nullptr);
};

} // namespace vx

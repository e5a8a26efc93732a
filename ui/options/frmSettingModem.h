#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace vx {

// "Configure Modem Setting": the reset and init commands of one channel's
// modem. "OK" accepts the two texts; closing the window drops them.
class frmSettingModem : public QDialog {
    Q_OBJECT
public:
    explicit frmSettingModem(QWidget *parent = nullptr);

    QLineEdit *txtReset = nullptr;
    QLineEdit *txtInitModem = nullptr;
    QPushButton *cmdOK = nullptr;
};

} // namespace vx

#pragma once

#include "profiles/LinkEditRules.h"

#include <QDialog>
#include <array>

class QCheckBox;
class QPushButton;

namespace vx {

// "Bar Code Table": the symbologies and conversions of the current field of
// the current function, each box one bit of the field's barcode table.
// Clicking a box writes its bit at once; "OK" only closes.
class frmBCTable : public QDialog {
    Q_OBJECT
public:
    explicit frmBCTable(ProfileWorkspace &workspace, QWidget *parent = nullptr);

    std::array<QCheckBox *, kBarcodeBoxes> chkBarCode{};
    QPushButton *Command1 = nullptr;

private:
    BarcodeTable &table();

    ProfileWorkspace &m_ws;
    int m_function;
    int m_field;
};

} // namespace vx

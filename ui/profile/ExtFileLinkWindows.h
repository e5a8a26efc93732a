#pragma once

#include "profiles/LinkEditRules.h"

#include <QDialog>
#include <array>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSlider;

// The windows that edit how the workspace's current function uses its
// look-up file. Every control writes its member at once; "OK" only closes.
namespace vx {

// "Join Key Field": which field of the function supplies each key of the
// linked look-up file. A key whose end position the file's layout does not
// give cannot be chosen. Opened only for a function with a linked file.
class frmExtFileJoinKey : public QDialog {
    Q_OBJECT
public:
    explicit frmExtFileJoinKey(ProfileWorkspace &workspace, QWidget *parent = nullptr);

    std::array<QComboBox *, 4> cmbFileJoinKey{};
    QPushButton *Command1 = nullptr;

private:
    ProfileWorkspace &m_ws;
    int m_function;
};

// "Field To Show": which user fields of the look-up record are shown.
class frmExtFileFieldsToShow : public QDialog {
    Q_OBJECT
public:
    explicit frmExtFileFieldsToShow(ProfileWorkspace &workspace, QWidget *parent = nullptr);

    std::array<QCheckBox *, 8> chkFieldToShow{};
    QPushButton *Command1 = nullptr;

private:
    ProfileWorkspace &m_ws;
    int m_function;
};

// "Retrieve Fields Definition": into which field of the function each user
// field of the look-up record is copied.
class frmExtFileFiledsToRetrieve : public QDialog {
    Q_OBJECT
public:
    explicit frmExtFileFiledsToRetrieve(ProfileWorkspace &workspace, QWidget *parent = nullptr);

    std::array<QComboBox *, 8> cmbRetrieveInto{};
    QPushButton *Command1 = nullptr;

private:
    ProfileWorkspace &m_ws;
    int m_function;
};

// "Fields To Update": how each user field of the look-up record is updated.
class frmExtFileFieldsToUpdate : public QDialog {
    Q_OBJECT
public:
    explicit frmExtFileFieldsToUpdate(ProfileWorkspace &workspace, QWidget *parent = nullptr);

    std::array<QCheckBox *, 8> chkUpdateyesNo{};
    std::array<QSlider *, 8> sldOperator{};
    std::array<QComboBox *, 8> cmbFieldOperand{};
    std::array<QLineEdit *, 8> txtFieldVal{};
    QPushButton *Command1 = nullptr;

private:
    ExtFileLink &link();

    ProfileWorkspace &m_ws;
    int m_function;
};

} // namespace vx

#pragma once

#include <QDialog>

class QComboBox;
class QLabel;
class QPushButton;

namespace vx {

class Messenger;
class ProfileEditorState;

// "Copy Profile": copies one whole function of the profile over another.
// Both lists open on the function the editor shows.
class frmCopyProfile : public QDialog {
    Q_OBJECT
public:
    frmCopyProfile(ProfileEditorState &state, Messenger &messenger, QWidget *parent = nullptr);

    void cmdOK_Click();

    QComboBox *cmbProfileFrom = nullptr;
    QComboBox *cmbProfileTo = nullptr;
    QLabel *lblArrow = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;

private:
    ProfileEditorState &m_state;
    Messenger &m_messenger;
};

} // namespace vx

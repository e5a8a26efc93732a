#pragma once

#include "profiles/CommEditRules.h"

#include <QDialog>
#include <array>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QRadioButton;
class QTabWidget;

namespace vx {

class Messenger;

// "Communication Parameter": how the terminal transmits the records of the
// workspace's current function. The port lists, check boxes, number and
// separator boxes write the function's communication settings at once; the
// terminal family and the record structure are written by "OK" only, so
// closing the window any other way leaves both as they were.
class frmProfileComm : public QDialog {
    Q_OBJECT
public:
    explicit frmProfileComm(ProfileWorkspace &workspace, QWidget *parent = nullptr, Messenger *messenger = nullptr);

    std::array<QRadioButton *, 3> TipoTermi{};
    QTabWidget *SSTab1 = nullptr;
    // One copy per tab; all copies edit the same members.
    std::array<QComboBox *, 5> CmbSpeed{};
    std::array<QComboBox *, 5> cmbParity{};
    std::array<QComboBox *, 5> CmbDataBits{};
    std::array<QComboBox *, 5> CmbFlowControl{};
    std::array<QComboBox *, 5> CmbProtocolType{};
    QCheckBox *chkImmediateTX = nullptr;
    QCheckBox *chkCheckDTE = nullptr;
    QLineEdit *txtRecordDelay = nullptr;
    QLineEdit *txtRecordBlock = nullptr;
    QLineEdit *txtFieldelay = nullptr;
    QRadioButton *optBloksWaitCR = nullptr;
    QRadioButton *optBloksWaitTime = nullptr;
    QLineEdit *txtBloksWaitTimemsecs = nullptr;
    QComboBox *cmbBloksTerminator = nullptr;
    QLineEdit *txtSeparatorFieldChar = nullptr;
    QLineEdit *txtSeparatorFieldAscii = nullptr;
    QLineEdit *txtSeparatorDecimalChar = nullptr;
    QLineEdit *txtSeparatorDecimalAscii = nullptr;
    // 0 "Available Fields", 1 "Rec Structure".
    std::array<QListWidget *, 2> lstRecordStructure{};
    QPushButton *btnMoveUp = nullptr;   // appends the selected available item
    QPushButton *btnMoveDown = nullptr; // removes the selected chosen item
    QPushButton *Command1 = nullptr;    // "OK"

private:
    FunctionCommSettings &comm();
    QWidget *buildPortTab(int tab);
    void showPortLists();
    void onTabChanged(int tab);
    void connectNumberBox(QLineEdit *box, qint16 FunctionCommSettings::*member);
    void connectSeparator(QLineEdit *character, QLineEdit *code, QString FunctionCommSettings::*separator,
                          qint16 FunctionCommSettings::*separatorCode, bool blankIsEmpty);
    void addRecordItem(QListWidgetItem *item);
    void removeRecordItem(QListWidgetItem *item);
    void showRecordStructure();
    void onOk();

    ProfileWorkspace &m_ws;
    int m_function;
    Messenger *m_messenger;
    RecordStructureList m_record;
    bool m_loading = true;
};

} // namespace vx

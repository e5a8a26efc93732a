#include "ui/QtMessenger.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

namespace vx {

MsgAnswer QtMessenger::message(const QString &text, MsgIcon icon, MsgButtons buttons, const QString &title)
{
    QMessageBox box(m_parent);
    box.setWindowTitle(title.isEmpty() ? m_title : title);
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    box.setText(shown);
    switch (icon) {
    case MsgIcon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case MsgIcon::Exclamation:
        box.setIcon(QMessageBox::Warning);
        break;
    case MsgIcon::Critical:
        box.setIcon(QMessageBox::Critical);
        break;
    case MsgIcon::Question:
        box.setIcon(QMessageBox::Question);
        break;
    case MsgIcon::None:
        box.setIcon(QMessageBox::NoIcon);
        break;
    }
    // Enter gives the answer that loses nothing, the one headless mode
    // takes: Cancel before a copy that cannot be undone or a quit without
    // saving, No before a download.
    switch (buttons) {
    case MsgButtons::Ok:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case MsgButtons::OkCancel:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Cancel);
        break;
    case MsgButtons::YesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::No);
        break;
    case MsgButtons::YesNoCancel:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Yes); // saving loses nothing
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Ok:
        return MsgAnswer::Ok;
    case QMessageBox::Yes:
        return MsgAnswer::Yes;
    case QMessageBox::No:
        return MsgAnswer::No;
    default:
        return buttons == MsgButtons::Ok ? MsgAnswer::Ok : MsgAnswer::Cancel;
    }
}

std::optional<QString> QtMessenger::prompt(const QString &title, const QString &label, const QString &initial)
{
    bool ok = false;
    const QString text = QInputDialog::getText(m_parent, title, label, QLineEdit::Normal, initial, &ok);
    if (!ok)
        return std::nullopt;
    return text;
}

std::optional<QString> QtMessenger::promptPassword(const QString &title, const QString &label)
{
    bool ok = false;
    const QString text = QInputDialog::getText(m_parent, title, label, QLineEdit::Password, QString(), &ok);
    if (!ok)
        return std::nullopt;
    return text;
}

QString QtMessenger::openFileName(const QString &title, const QString &filter, const QString &start)
{
    return QFileDialog::getOpenFileName(m_parent, title, start, qtFilter(filter));
}

QString QtMessenger::saveFileName(const QString &title, const QString &filter, const QString &start)
{
    return QFileDialog::getSaveFileName(m_parent, title, start, qtFilter(filter));
}

QString QtMessenger::newFileName(const QString &title, const QString &filter, const QString &start)
{
    return QFileDialog::getSaveFileName(m_parent, title, start, qtFilter(filter), nullptr,
                                        QFileDialog::DontConfirmOverwrite);
}

} // namespace vx

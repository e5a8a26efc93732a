#pragma once

#include "platform/Messenger.h"

class QWidget;

namespace vx {

// Messages, prompts and file dialogs as Qt dialogs, modal to a parent window.
class QtMessenger : public Messenger {
public:
    explicit QtMessenger(QWidget *parent = nullptr, QString title = QStringLiteral("Vendrix"))
        : m_parent(parent), m_title(std::move(title))
    {
    }
    void setParent(QWidget *parent) { m_parent = parent; }

    MsgAnswer message(const QString &text, MsgIcon icon, MsgButtons buttons, const QString &title) override;
    std::optional<QString> prompt(const QString &title, const QString &label, const QString &initial) override;
    std::optional<QString> promptPassword(const QString &title, const QString &label) override;
    QString openFileName(const QString &title, const QString &filter, const QString &start) override;
    QString saveFileName(const QString &title, const QString &filter, const QString &start) override;
    QString newFileName(const QString &title, const QString &filter, const QString &start) override;

private:
    QWidget *m_parent;
    QString m_title;
};

} // namespace vx

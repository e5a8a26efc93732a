#pragma once

// Drives widgets as a person does, for the widget tests: clicks a check box
// or option button on its box, a push button anywhere, a tab on its
// caption; picks a list entry with the keyboard; replaces a text by
// selecting all of it and typing; acts on a modal window once it is shown.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <functional>
#include <memory>

namespace vx::test {

namespace ui {

inline void click(QAbstractButton *button)
{
    QPoint at = button->rect().center();
    if (qobject_cast<QCheckBox *>(button) || qobject_cast<QRadioButton *>(button)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        const bool check = qobject_cast<QCheckBox *>(button) != nullptr;
        at = button->style()
                 ->subElementRect(check ? QStyle::SE_CheckBoxIndicator : QStyle::SE_RadioButtonIndicator, &option,
                                  button)
                 .center();
    }
    QTest::mouseClick(button, Qt::LeftButton, {}, at);
}

// Brings the tab pages that hold a widget to the front.
inline void reveal(QWidget *w)
{
    for (QWidget *page = w; page && page->parentWidget(); page = page->parentWidget()) {
        auto *stack = qobject_cast<QStackedWidget *>(page->parentWidget());
        if (stack && stack->parentWidget())
            if (auto *tabs = qobject_cast<QTabWidget *>(stack->parentWidget()))
                tabs->setCurrentWidget(page);
    }
}

inline void chooseTab(QTabWidget *tabs, int index)
{
    QTabBar *bar = tabs->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
}

inline bool choose(QComboBox *box, const QString &text)
{
    if (box->isEditable()) {
        QLineEdit *edit = box->lineEdit();
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(edit, text);
        return box->currentText() == text;
    }
    QTest::keyClick(box, Qt::Key_Home);
    for (int n = 0; n < box->count() && box->currentText() != text; ++n)
        QTest::keyClick(box, Qt::Key_Down);
    return box->currentText() == text;
}

// Picks the entry at index with the arrow keys, from the top of the list.
inline void chooseIndex(QComboBox *box, int index)
{
    QTest::keyClick(box, Qt::Key_Home);
    for (int i = 0; i < index; ++i)
        QTest::keyClick(box, Qt::Key_Down);
}

inline void type(QLineEdit *edit, const QString &text)
{
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
}

inline void typeAtEnd(QLineEdit *edit, const QString &text)
{
    QTest::keyClick(edit, Qt::Key_End);
    QTest::keyClicks(edit, text);
}

// The texts of a list's entries, in order.
inline QStringList items(const QComboBox *box)
{
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemText(i);
    return out;
}
inline QStringList items(const QListWidget *list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

// The top-level windows of type T on screen.
template <typename T>
QList<T *> visible()
{
    QList<T *> found;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *window = qobject_cast<T *>(w); window && window->isVisible())
            found << window;
    }
    return found;
}

// Runs act on the first modal window of type T once it is on screen (the
// code that opened it is blocked in its exec()).
template <typename T>
void whenModal(std::function<void(T *)> act)
{
    auto *timer = new QTimer;
    timer->setInterval(10);
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, act, tries] {
        if (auto *w = qobject_cast<T *>(QApplication::activeModalWidget()); w && w->isVisible()) {
            timer->stop();
            timer->deleteLater();
            act(w);
        } else if (++*tries > 500) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}

} // namespace ui
} // namespace vx::test

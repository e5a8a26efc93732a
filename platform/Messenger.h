#pragma once

#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace vx {

enum class MsgIcon { None, Information, Exclamation, Critical, Question };
enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class MsgAnswer { Ok, Cancel, Yes, No };

// Every message box, text prompt and file dialog of the program goes through
// one of these. The windows use a Qt implementation, headless mode logs and
// takes the default answer, tests script the answers.
class Messenger {
public:
    virtual ~Messenger() = default;

    virtual MsgAnswer message(const QString &text, MsgIcon icon = MsgIcon::None, MsgButtons buttons = MsgButtons::Ok,
                              const QString &title = QString()) = 0;
    // A text prompt; nothing when the user cancels.
    virtual std::optional<QString> prompt(const QString &title, const QString &label,
                                          const QString &initial = QString()) = 0;
    // A text prompt whose answer is not shown as it is typed (a password).
    // By default the plain prompt.
    virtual std::optional<QString> promptPassword(const QString &title, const QString &label)
    {
        return prompt(title, label, QString());
    }
    // File dialogs; filter in "Description (*.ext)|*.ext|..." form. Empty
    // when the user cancels.
    virtual QString openFileName(const QString &title, const QString &filter, const QString &start = QString()) = 0;
    virtual QString saveFileName(const QString &title, const QString &filter, const QString &start = QString()) = 0;
    // The name of a file that another part makes later (a record-store
    // target): an existing file or a new name, nothing written now and no
    // question about replacing it. By default the save dialog.
    virtual QString newFileName(const QString &title, const QString &filter, const QString &start = QString())
    {
        return saveFileName(title, filter, start);
    }

    // The answer a box gets when nobody is there to click: OK where only OK
    // is offered, Cancel where OK and Cancel are, No where Yes and No are,
    // Cancel where Yes, No and Cancel are.
    static MsgAnswer defaultAnswer(MsgButtons buttons);
    // The dialog filter of a "Description (*.ext)|*.ext" text, in the
    // "Description (*.ext);;..." form of Qt's file dialogs.
    static QString qtFilter(const QString &filter);

    // The program-wide messenger; a headless one until a window sets another.
    static Messenger &current();
    static void setCurrent(Messenger *messenger);
};

// Passes every call on to Messenger::current() at the time of the call, so
// an engine built before the window existed uses the window's dialogs.
class CurrentMessenger : public Messenger {
public:
    MsgAnswer message(const QString &text, MsgIcon icon, MsgButtons buttons, const QString &title) override
    {
        return current().message(text, icon, buttons, title);
    }
    std::optional<QString> prompt(const QString &title, const QString &label, const QString &initial) override
    {
        return current().prompt(title, label, initial);
    }
    std::optional<QString> promptPassword(const QString &title, const QString &label) override
    {
        return current().promptPassword(title, label);
    }
    QString openFileName(const QString &title, const QString &filter, const QString &start) override
    {
        return current().openFileName(title, filter, start);
    }
    QString saveFileName(const QString &title, const QString &filter, const QString &start) override
    {
        return current().saveFileName(title, filter, start);
    }
    QString newFileName(const QString &title, const QString &filter, const QString &start) override
    {
        return current().newFileName(title, filter, start);
    }
};

// No window: every message goes to the log sink and to standard error, and
// gets the default answer; prompts and file dialogs are cancelled.
class HeadlessMessenger : public Messenger {
public:
    using LogSink = std::function<void(const QString &)>;
    explicit HeadlessMessenger(LogSink log = {}) : m_log(std::move(log)) {}
    void setLogSink(LogSink log) { m_log = std::move(log); }
    // Off: the messages go to the log sink only, for a log that reaches
    // standard output already (a service's journal reads both streams, and
    // would get each message twice).
    void setStandardError(bool on) { m_standardError = on; }

    MsgAnswer message(const QString &text, MsgIcon icon, MsgButtons buttons, const QString &title) override;
    std::optional<QString> prompt(const QString &title, const QString &label, const QString &initial) override;
    QString openFileName(const QString &title, const QString &filter, const QString &start) override;
    QString saveFileName(const QString &title, const QString &filter, const QString &start) override;

private:
    void report(const QString &line);
    LogSink m_log;
    bool m_standardError = true;
};

// For tests: records everything shown and answers from queues that the test
// fills; an empty queue gives the default answer (or a cancelled dialog).
class ScriptedMessenger : public Messenger {
public:
    struct Shown {
        QString text;
        MsgIcon icon;
        MsgButtons buttons;
        QString title;
    };

    MsgAnswer message(const QString &text, MsgIcon icon, MsgButtons buttons, const QString &title) override;
    std::optional<QString> prompt(const QString &title, const QString &label, const QString &initial) override;
    QString openFileName(const QString &title, const QString &filter, const QString &start) override;
    QString saveFileName(const QString &title, const QString &filter, const QString &start) override;
    QString newFileName(const QString &title, const QString &filter, const QString &start) override;

    std::vector<Shown> shown;  // every message box, in order
    QStringList promptsShown;  // every prompt title, in order
    QStringList dialogsShown;  // every file dialog title, in order
    QStringList dialogFilters; // and its filter
    QStringList dialogStarts;  // and the name it started from
    QStringList dialogKinds;   // and its kind: "open", "save" or "new"
    std::deque<MsgAnswer> answers;
    std::deque<std::optional<QString>> promptAnswers;
    std::deque<QString> fileAnswers;
    // Called inside message(), before it returns: lets a test act while the
    // box is "open" (another tick, an arrival).
    std::function<void(const Shown &)> onMessage;

    QStringList texts() const;
    void clear();
};

} // namespace vx

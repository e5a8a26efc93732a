#include "platform/Messenger.h"

#include <cstdio>

namespace vx {

namespace {
Messenger *g_current = nullptr;

const char *iconWord(MsgIcon icon)
{
    switch (icon) {
    case MsgIcon::Information:
        return "information";
    case MsgIcon::Exclamation:
        return "warning";
    case MsgIcon::Critical:
        return "error";
    case MsgIcon::Question:
        return "question";
    case MsgIcon::None:
        break;
    }
    return "message";
}
} // namespace

MsgAnswer Messenger::defaultAnswer(MsgButtons buttons)
{
    switch (buttons) {
    case MsgButtons::OkCancel:
    case MsgButtons::YesNoCancel:
        return MsgAnswer::Cancel;
    case MsgButtons::YesNo:
        return MsgAnswer::No;
    case MsgButtons::Ok:
        break;
    }
    return MsgAnswer::Ok;
}

QString Messenger::qtFilter(const QString &filter)
{
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString description = parts.at(i);
        const QString patterns = QString(parts.at(i + 1)).replace(QLatin1Char(';'), QLatin1Char(' '));
        out << (description.contains(QLatin1Char('('))
                    ? description
                    : description + QStringLiteral(" (") + patterns + QLatin1Char(')'));
    }
    if (out.isEmpty() && !filter.isEmpty())
        out << filter;
    return out.join(QStringLiteral(";;"));
}

Messenger &Messenger::current()
{
    static HeadlessMessenger fallback;
    return g_current ? *g_current : fallback;
}

void Messenger::setCurrent(Messenger *messenger)
{
    g_current = messenger;
}

void HeadlessMessenger::report(const QString &line)
{
    if (m_log)
        m_log(line);
    if (!m_standardError && m_log)
        return;
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

MsgAnswer HeadlessMessenger::message(const QString &text, MsgIcon icon, MsgButtons buttons, const QString &title)
{
    QString flat = text;
    flat.replace(QStringLiteral("\r\n"), QStringLiteral(" / "));
    flat.replace(QLatin1Char('\n'), QStringLiteral(" / "));
    report(QStringLiteral("[%1] %2%3")
               .arg(QLatin1String(iconWord(icon)), title.isEmpty() ? QString() : title + QStringLiteral(": "), flat));
    return defaultAnswer(buttons);
}

std::optional<QString> HeadlessMessenger::prompt(const QString &title, const QString &label, const QString &)
{
    report(QStringLiteral("[prompt] %1: %2 (no answer without a window)").arg(title, label));
    return std::nullopt;
}

QString HeadlessMessenger::openFileName(const QString &title, const QString &, const QString &)
{
    report(QStringLiteral("[dialog] %1 (cancelled without a window)").arg(title));
    return {};
}

QString HeadlessMessenger::saveFileName(const QString &title, const QString &, const QString &)
{
    report(QStringLiteral("[dialog] %1 (cancelled without a window)").arg(title));
    return {};
}

MsgAnswer ScriptedMessenger::message(const QString &text, MsgIcon icon, MsgButtons buttons, const QString &title)
{
    shown.push_back({text, icon, buttons, title});
    if (onMessage)
        onMessage(shown.back());
    if (answers.empty())
        return defaultAnswer(buttons);
    const MsgAnswer answer = answers.front();
    answers.pop_front();
    return answer;
}

std::optional<QString> ScriptedMessenger::prompt(const QString &title, const QString &, const QString &)
{
    promptsShown << title;
    if (promptAnswers.empty())
        return std::nullopt;
    const bool answered = promptAnswers.front().has_value();
    const QString text = answered ? *promptAnswers.front() : QString();
    promptAnswers.pop_front();
    if (!answered)
        return std::nullopt;
    return text;
}

QString ScriptedMessenger::openFileName(const QString &title, const QString &filter, const QString &start)
{
    dialogKinds << QStringLiteral("open");
    dialogsShown << title;
    dialogFilters << filter;
    dialogStarts << start;
    if (fileAnswers.empty())
        return {};
    const QString answer = fileAnswers.front();
    fileAnswers.pop_front();
    return answer;
}

QString ScriptedMessenger::saveFileName(const QString &title, const QString &filter, const QString &start)
{
    const QString answer = openFileName(title, filter, start);
    dialogKinds.last() = QStringLiteral("save");
    return answer;
}

QString ScriptedMessenger::newFileName(const QString &title, const QString &filter, const QString &start)
{
    const QString answer = openFileName(title, filter, start);
    dialogKinds.last() = QStringLiteral("new");
    return answer;
}

QStringList ScriptedMessenger::texts() const
{
    QStringList out;
    for (const Shown &s : shown)
        out << s.text;
    return out;
}

void ScriptedMessenger::clear()
{
    shown.clear();
    promptsShown.clear();
    dialogsShown.clear();
    dialogFilters.clear();
    dialogStarts.clear();
}

} // namespace vx

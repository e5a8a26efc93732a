#include "platform/CommandLine.h"

#include <QCoreApplication>
#include <cstdio>
#include <memory>

namespace vx {

namespace {

const QString kHelp = QStringLiteral("help");
const QString kVersion = QStringLiteral("version");

void write(std::FILE *to, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), to);
    std::fflush(to);
}

QStringList splitWords(const QString &words)
{
    return words.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

bool isOptional(const QString &argument)
{
    return argument.startsWith(QLatin1Char('['));
}

// What follows the words on a usage line: "[options] FILE.VDX [OUT]".
QString argumentSyntax(const Command &command)
{
    if (!command.synopsis.isEmpty())
        return command.synopsis;
    QStringList parts;
    if (!command.options.isEmpty())
        parts << QStringLiteral("[options]");
    for (const auto &argument : command.arguments)
        parts << argument.first;
    return parts.join(QLatin1Char(' '));
}

// "profile new FILE.VDX": the words and the arguments, for a list of commands.
QString synopsis(const Command &command)
{
    QString text = command.words;
    const QString syntax = argumentSyntax(command);
    if (!syntax.isEmpty())
        text += QLatin1Char(' ') + syntax;
    return text;
}

// Breaks a paragraph into lines of at most 79 columns.
QString wrapped(const QString &paragraph)
{
    QString text;
    qsizetype column = 0;
    for (const QString &word : paragraph.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (column > 0 && column + 1 + word.size() > 79) {
            text += QLatin1Char('\n');
            column = 0;
        } else if (column > 0) {
            text += QLatin1Char(' ');
            ++column;
        }
        text += word;
        column += word.size();
    }
    return text;
}

// Two columns, the second starting where the longest first one ends.
QString columns(const QList<std::pair<QString, QString>> &rows)
{
    qsizetype width = 0;
    for (const auto &row : rows)
        width = qMax(width, row.first.size());
    QString text;
    for (const auto &row : rows)
        text += QStringLiteral("  ") + row.first.leftJustified(width + 2) + row.second + QLatin1Char('\n');
    return text;
}

QString firstWord(const Command &command)
{
    return splitWords(command.words).value(0);
}

} // namespace

void SetUpParser(QCommandLineParser &parser, const Command &command)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    for (const QCommandLineOption &option : command.options)
        parser.addOption(option);
    parser.addOption(QCommandLineOption({QStringLiteral("h"), kHelp}, QStringLiteral("Show this help and exit.")));
    for (const auto &argument : command.arguments)
        parser.addPositionalArgument(argument.first, argument.second, argument.first);
    if (!command.description.isEmpty())
        parser.setApplicationDescription(wrapped(command.description));
}

CommandCall::CommandCall(const CommandLine &line, const Command &command, const QCommandLineParser &parser, int &argc,
                         char **argv)
    : m_line(line), m_command(command), m_parser(parser), m_argc(argc), m_argv(argv)
{
}

int CommandCall::usageError(const QString &why) const
{
    return m_line.usageError(splitWords(m_command.words), why);
}

CommandLine::CommandLine(QString program, Command root, QList<Command> commands, QString version, QString footer)
    : m_program(std::move(program)), m_root(std::move(root)), m_commands(std::move(commands)),
      m_version(std::move(version)), m_footer(std::move(footer))
{
    m_root.words.clear();
    m_root.options << QCommandLineOption(kVersion, QStringLiteral("Show the version and the license, and exit."));
}

QString CommandLine::commandHelp(const Command &command) const
{
    QCommandLineParser parser;
    SetUpParser(parser, command);
    QString text = parser.helpText();
    // The parser's first line names the executable by its path; ours names
    // the command as it is typed.
    QString usage = QStringLiteral("Usage: ") + m_program;
    if (!command.words.isEmpty())
        usage += QLatin1Char(' ') + command.words;
    usage += QLatin1Char(' ') + argumentSyntax(command);
    text.replace(0, text.indexOf(QLatin1Char('\n')), usage);
    return text;
}

QString CommandLine::groupHelp(const QString &group) const
{
    QList<std::pair<QString, QString>> rows;
    for (const Command &command : m_commands)
        if (firstWord(command) == group)
            rows.append({synopsis(command), command.summary});
    return QStringLiteral(
               "Usage: %1 %2 COMMAND [options] ...\n\nCommands:\n%3\n"
               "'%1 help %2 COMMAND' or '%1 %2 COMMAND --help' tells more about each.\n")
        .arg(m_program, group, columns(rows));
}

QString CommandLine::programHelp() const
{
    QList<std::pair<QString, QString>> rows;
    for (const Command &command : m_commands)
        rows.append({synopsis(command), command.summary});
    rows.append({QStringLiteral("help [COMMAND]"), QStringLiteral("show the help of a command")});
    QString text = commandHelp(m_root);
    text += QStringLiteral("\nCommands:\n") + columns(rows);
    text += QStringLiteral("\n'%1 help COMMAND' or '%1 COMMAND --help' tells more about each.\n").arg(m_program);
    if (!m_footer.isEmpty())
        text += QLatin1Char('\n') + m_footer;
    return text;
}

QString CommandLine::helpText(const QStringList &words) const
{
    if (words.isEmpty())
        return programHelp();
    const QString joined = words.join(QLatin1Char(' '));
    for (const Command &command : m_commands)
        if (command.words == joined)
            return commandHelp(command);
    if (words.size() == 1)
        for (const Command &command : m_commands)
            if (firstWord(command) == words.first() && splitWords(command.words).size() > 1)
                return groupHelp(words.first());
    return {};
}

int CommandLine::usageError(const QStringList &words, const QString &why) const
{
    const QString name = words.isEmpty() ? m_program : m_program + QLatin1Char(' ') + words.join(QLatin1Char(' '));
    write(stderr, name + QStringLiteral(": ") + why + QStringLiteral("\n\n") + helpText(words));
    return kExitUsage;
}

int CommandLine::runHelp(const QStringList &words) const
{
    const QString text = helpText(words);
    if (text.isEmpty())
        return usageError({}, QStringLiteral("no command '%1'.").arg(words.join(QLatin1Char(' '))));
    write(stdout, text);
    return kExitOk;
}

int CommandLine::runCommand(const Command &command, const QStringList &rest, int &argc, char **argv) const
{
    const QStringList words = splitWords(command.words);
    QCommandLineParser parser;
    SetUpParser(parser, command);
    if (!parser.parse(QStringList{m_program} + rest))
        return usageError(words, parser.errorText());
    if (parser.isSet(kHelp)) {
        write(stdout, helpText(words));
        return kExitOk;
    }
    if (words.isEmpty() && parser.isSet(kVersion)) {
        write(stdout, m_version);
        return kExitOk;
    }
    const QStringList given = parser.positionalArguments();
    for (qsizetype i = given.size(); i < command.arguments.size(); ++i)
        if (!isOptional(command.arguments.at(i).first))
            return usageError(words, QStringLiteral("%1 is missing.").arg(command.arguments.at(i).first));
    if (given.size() > command.arguments.size())
        return usageError(words,
                          command.arguments.isEmpty() && words.isEmpty()
                              ? QStringLiteral("no command '%1'.").arg(given.at(0))
                              : QStringLiteral("unexpected argument '%1'.").arg(given.at(command.arguments.size())));

    CommandCall call(*this, command, parser, argc, argv);
    std::unique_ptr<QCoreApplication> app;
    if (command.app == Command::App::Core)
        app = std::make_unique<QCoreApplication>(argc, argv);
    return command.run(call);
}

int CommandLine::exec(int &argc, char **argv) const
{
    QStringList rest;
    for (int i = 1; i < argc; ++i)
        rest << QString::fromLocal8Bit(argv[i]);
    if (rest.isEmpty() || rest.first().startsWith(QLatin1Char('-')))
        return runCommand(m_root, rest, argc, argv);
    if (rest.first() == kHelp)
        return runHelp(rest.mid(1));

    // The command of the most words that the command line starts with.
    const Command *found = nullptr;
    qsizetype foundWords = 0;
    for (const Command &command : m_commands) {
        const QStringList words = splitWords(command.words);
        if (words.size() > foundWords && rest.mid(0, words.size()) == words) {
            found = &command;
            foundWords = words.size();
        }
    }
    if (found)
        return runCommand(*found, rest.mid(foundWords), argc, argv);

    // A group's first word alone ("profile", "profile --help", "profile bogus").
    const QString group = rest.first();
    if (!helpText({group}).isEmpty()) {
        const QString next = rest.value(1);
        if (next == QLatin1String("--help") || next == QLatin1String("-h")) {
            write(stdout, helpText({group}));
            return kExitOk;
        }
        return usageError({group}, next.isEmpty() ? QStringLiteral("a command is missing.")
                                                  : QStringLiteral("no command '%1'.").arg(next));
    }
    return usageError({}, QStringLiteral("no command '%1'.").arg(group));
}

} // namespace vx

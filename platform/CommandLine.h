#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <utility>

namespace vx {

// The exit codes of every command (the man page lists them).
enum ExitCode : int {
    kExitOk = 0,               // done
    kExitFailed = 1,           // what was asked failed
    kExitUsage = 2,            // a wrong command line
    kExitAnotherCollector = 3, // another collector runs on this data folder
    kExitSettings = 4,         // the settings name an ERP database that does not exist: a restart cannot mend it
};

class CommandCall;
class CommandLine;

// One sub-command of the program: the words that name it, what its --help
// says, its arguments and options, and the function that runs it.
//
// Adding a sub-command: write a Command next to its engine (see
// ProfileCommands() or SettingsTransferCommands()) and list it in the
// command table of app/Commands.cpp. Parsing, --help, "help WORDS", the
// usage on a wrong command line and the exit code 2 come from here.
struct Command {
    // What the command line gives the command to run on.
    enum class App {
        Core, // a QCoreApplication, made before run() is called
        Own,  // none: run() makes its own (a QApplication for a window) from call.argc()/argv()
    };

    QString words;       // "profile new", "send-settings"
    QString summary;     // one line in the list of commands
    QString description; // the paragraph that --help prints above the options (may be empty)
    // Positional arguments, {name, description}: a name in brackets ("[FILE]")
    // is optional; the others are required, in this order.
    QList<std::pair<QString, QString>> arguments;
    QList<QCommandLineOption> options;
    // What the usage line shows after the words, when "[options]" and the
    // arguments do not say enough ("FILE.VDX --port ComN --speed S [--ir]").
    QString synopsis;
    App app = App::Core;
    std::function<int(CommandCall &)> run;
};

// What a command's run() gets: the parsed command line, and a way to refuse
// it as a wrong command line (a value out of range, a required option
// missing).
class CommandCall {
public:
    CommandCall(const CommandLine &line, const Command &command, const QCommandLineParser &parser, int &argc,
                char **argv);

    const Command &command() const { return m_command; }
    const QCommandLineParser &parser() const { return m_parser; }
    // The positional arguments, in order.
    QStringList arguments() const { return m_parser.positionalArguments(); }
    QString argument(int i) const { return arguments().value(i); }
    bool isSet(const QString &option) const { return m_parser.isSet(option); }
    QString value(const QString &option) const { return m_parser.value(option); }

    // Prints "<program> <words>: why" and the command's help on standard
    // error; returns kExitUsage for run() to return.
    int usageError(const QString &why) const;

    // The process's own arguments, for a command that makes its own
    // application object (Command::App::Own).
    int &argc() const { return m_argc; }
    char **argv() const { return m_argv; }

private:
    const CommandLine &m_line;
    const Command &m_command;
    const QCommandLineParser &m_parser;
    int &m_argc;
    char **m_argv;
};

// The program's command line: the program with no command word (the
// collector), its sub-commands, and "help".
class CommandLine {
public:
    // program: the name the usage shows ("vendrix"); root: what runs when
    // no sub-command is named (its words empty); footer: text after the
    // list of commands in the program's own help.
    CommandLine(QString program, Command root, QList<Command> commands, QString version, QString footer = {});

    // Parses argv, handles --help, --version, "help WORDS" and a wrong
    // command line, and otherwise runs the command; returns the exit code.
    int exec(int &argc, char **argv) const;

    // The text --help prints for the command of these words (the program's
    // own help for none, a group's list for "profile"); empty for words that
    // name nothing.
    QString helpText(const QStringList &words) const;

    // Prints "<program> <words>: why" and the help of those words on
    // standard error; returns kExitUsage.
    int usageError(const QStringList &words, const QString &why) const;

    const QString &program() const { return m_program; }
    const QList<Command> &commands() const { return m_commands; }
    const Command &root() const { return m_root; }

private:
    QString commandHelp(const Command &command) const;
    QString groupHelp(const QString &group) const;
    QString programHelp() const;
    int runHelp(const QStringList &words) const;
    int runCommand(const Command &command, const QStringList &rest, int &argc, char **argv) const;

    QString m_program;
    Command m_root;
    QList<Command> m_commands;
    QString m_version;
    QString m_footer;
};

// The same parser set-up every command gets: its options, its arguments,
// and -h/--help.
void SetUpParser(QCommandLineParser &parser, const Command &command);

} // namespace vx

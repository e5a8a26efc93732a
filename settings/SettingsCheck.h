#pragma once

#include <QString>
#include <QStringList>
#include <vector>

namespace vx {

struct Settings;

// One value of Vendrix.ini that the program does not take as meant: a word
// it does not know, or a number outside its range. The value is kept as it
// is (installations may rely on how an unknown value behaves); the finding
// says what was read, what is accepted and what the program does with it.
struct SettingFinding {
    QString section;  // "Com(1)"
    QString key;      // "ConnType"
    QString value;    // as read, blanks kept
    QString accepted; // "Serial, IrDa, InfraRed, TCP, Modem, IRCradle" or "0 to 255"
    QString hint;     // the accepted value it resembles ("TCP" for "tcp"), empty when none
    QString effect;   // what the program does with it, empty when nothing to add

    // "[Com(1)] ConnType=tcp is not a known value (accepted: ...); did you
    // mean "TCP"? ..."
    QString text() const;
};

// The values of every section that the program does not know. Defaults
// are all known: a fresh Vendrix.ini gives no finding.
std::vector<SettingFinding> UnknownSettingValues(const Settings &settings);

// The accepted words of a key of the Com(n), DBMS(n) or Misc sections, in
// the order the options dialog offers them; empty for free text.
QStringList AcceptedValues(const QString &key);

} // namespace vx

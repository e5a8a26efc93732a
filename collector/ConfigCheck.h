#pragma once

#include "platform/CommandLine.h"

#include <QString>
#include <QStringList>

class QTextStream;

namespace vx {

class IniStore;
struct ChannelSettings;
struct Settings;
struct StoreSettings;

// A channel is in use when it is a TCP channel, or names a port (Port is
// not "None").
bool ChannelInUse(const ChannelSettings &channel);
// What channel n opens: "TCP 10.0.0.5:9100", "Serial Com1 (/dev/ttyUSB0)
// 9600,N,8,1".
QString ChannelOpensText(const ChannelSettings &channel);
// Where its records go: the file ("/srv/records.txt", with the kind when it
// is not a text file), or the server without its password.
QString ChannelStoresText(const StoreSettings &target);
// "channel 1: TCP 10.0.0.5:9100 → /srv/records.txt"
QString ChannelSummary(int n, const Settings &settings);

// What a check of the settings found: per channel in use what it opens and
// where it stores, and every problem (an unknown value, a number out of
// range, a port that is not there or may not be opened, a target folder
// that is missing or not writable, a database server that cannot be
// reached).
struct ConfigReport {
    QStringList channels;
    QStringList problems;
    // What is no problem here but would be for the system service (a target
    // outside the folders its sandbox lets it write); never fails the check.
    QStringList notes;
    bool ok() const { return problems.isEmpty(); }
};
struct ConfigCheckOptions {
    bool reachServers = true; // connect to PostgreSQL targets once
};
ConfigReport CheckConfiguration(const IniStore &store, const Settings &settings,
                                ConfigCheckOptions options = ConfigCheckOptions());

// "vendrix config check [FILE]": reads FILE (default: Vendrix.ini of the
// config folder) without starting anything or writing to it, prints the
// report; 0 when all is well, 1 otherwise.
int ConfigCheckCommand(const QString &file, QTextStream &out);

// The sub-commands "config check [FILE]" and "ports" (PortList.h).
QList<Command> SettingsCheckCommands();

} // namespace vx

#pragma once

#include <QString>

namespace vx {

// The three folders of the program.
//  - program folder: the folder of the executable (templates, libraries);
//  - config folder: $VENDRIX_HOME, else ~/.config/Vendrix (Vendrix.ini, ports.ini);
//  - data folder: $VENDRIX_HOME, else ~/.local/share/Vendrix (LOG.txt,
//    temporary files, default data and look-up files), created when missing.
namespace Paths {

QString programDir();
// Makes programDir() answer dir instead of the executable's folder (empty:
// back to the executable's folder). For programs that are not the one in
// the program folder, such as the test programs of the build.
void setProgramDir(const QString &dir);
QString configDir();
QString dataDir();

// Conveniences for the files that live in those folders.
QString settingsFile();                // config folder / Vendrix.ini
QString portsFile();                   // config folder / ports.ini
QString dataFile(const QString &name); // data folder / name

// The device that "ComN" (N = 1..9) names: $VENDRIX_COM<N>, else the ComN=
// line of ports.ini, else /dev/ttyS<N-1>. Empty for anything that is not
// "Com1".."Com9" (for example "None").
QString comDevice(const QString &port);
// The same for a port number 1..9.
QString comDevice(int portNumber);

// Why the device a ComN maps to must not be opened as a serial port (it is
// a regular file, a folder, a FIFO ...: only a character device is a
// port); empty when it is a character device or does not exist (the
// opening then says so).
QString comDeviceProblem(const QString &device);

} // namespace Paths
} // namespace vx

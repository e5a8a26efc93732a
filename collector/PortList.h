#pragma once

#include <QString>
#include <vector>

class QTextStream;

namespace vx {

// A serial port that the system has now.
struct PresentPort {
    QString device;       // /dev/ttyUSB0
    QString stableName;   // /dev/serial/by-id/usb-...; empty when it has none
    QString description;  // "USB-Serial Controller"
    QString manufacturer; // "Prolific Technology Inc."
    QString serialNumber;
};
std::vector<PresentPort> PresentPorts();

// What ComN names now, and why: "VENDRIX_COM3", "ports.ini", "default".
struct ComMapping {
    int number = 0;
    QString device;
    QString source;
};
std::vector<ComMapping> ComMap();

// Maps a port to a ComN in ports.ini, by its stable name where it has one:
// the ComN that already names it, else the first ComN that ports.ini and
// the environment leave free (mapped to its default /dev/ttyS<N-1> and
// that device absent). 0 when none is free or ports.ini cannot be written
// (error says why). Other lines of ports.ini are kept.
int MapPortToCom(const PresentPort &port, QString *error);

// "vendrix ports": the ports present and the current ComN map; 0.
int PortsCommand(QTextStream &out);

} // namespace vx

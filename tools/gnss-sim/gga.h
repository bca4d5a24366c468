#ifndef GGA_H
#define GGA_H

#include <string>

// NMEA 0183 helpers for the receiver simulator.
namespace Nmea {

// The two hex digits of the XOR of every character between '$' and '*'.
std::string checksum(const std::string &body);

// One GGA sentence, "$GPGGA,...*CS\r\n", for the fix taken `seconds` after
// the simulator's start; the position wanders a little from fix to fix.
std::string ggaSentence(double seconds, long fixNumber);

// True when `sentence` is "$...*CS" (optionally with CR LF) and CS matches.
bool hasValidChecksum(const std::string &sentence);

} // namespace Nmea

#endif // GGA_H

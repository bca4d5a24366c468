#ifndef NMEA_H
#define NMEA_H

#include <string>

// NMEA 0183 helpers for the receiver simulator. A fix is stamped with its
// time in seconds since 1970-01-01 UTC and numbered; its position wanders a
// few centimetres from fix to fix.
namespace Nmea {

// The two hex digits of the XOR of every character between '$' and '*'.
std::string checksum(const std::string &body);

// "$GPGGA,...*CS\r\n": time of day, position, altitude.
std::string ggaSentence(double utcSeconds, long fixNumber);

// "$GPRMC,...*CS\r\n": time of day, the same position, and the date.
std::string rmcSentence(double utcSeconds, long fixNumber);

// True when `sentence` is "$...*CS" (optionally with CR LF) and CS matches.
bool hasValidChecksum(const std::string &sentence);

} // namespace Nmea

#endif // NMEA_H

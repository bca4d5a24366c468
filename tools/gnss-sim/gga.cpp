#include "gga.h"

#include <cmath>
#include <cstdio>

std::string Nmea::checksum(const std::string &body)
{
    unsigned char sum = 0;
    for (char c : body)
        sum ^= static_cast<unsigned char>(c);
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", sum);
    return hex;
}

std::string Nmea::ggaSentence(double seconds, long fixNumber)
{
    // The day starts at 12:00:00 UTC and wraps at midnight.
    const double clock = std::fmod(12 * 3600.0 + seconds, 24 * 3600.0);
    const int hours = int(clock / 3600);
    const int minutes = int(std::fmod(clock, 3600.0) / 60);
    const double secs = std::fmod(clock, 60.0);

    // A point near Munich, moving on a small circle of a few centimetres.
    const double wobble = double(fixNumber % 360) * M_PI / 180.0;
    const double latitudeMinutes = 7.038 + 0.00002 * std::sin(wobble);
    const double longitudeMinutes = 11.0 + 0.00002 * std::cos(wobble);

    char body[160];
    std::snprintf(body, sizeof body,
                  "GPGGA,%02d%02d%05.2f,48%08.5f,N,011%08.5f,E,1,12,0.8,545.400,M,46.900,M,,",
                  hours, minutes, secs, latitudeMinutes, longitudeMinutes);
    return "$" + std::string(body) + "*" + checksum(body) + "\r\n";
}

bool Nmea::hasValidChecksum(const std::string &sentence)
{
    std::string s = sentence;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    const auto star = s.rfind('*');
    if (s.size() < 4 || s[0] != '$' || star == std::string::npos || star + 3 != s.size())
        return false;
    return checksum(s.substr(1, star - 1)) == s.substr(star + 1);
}

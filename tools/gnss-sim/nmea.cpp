#include "nmea.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

std::string framed(const char *body)
{
    return "$" + std::string(body) + "*" + Nmea::checksum(body) + "\r\n";
}

// Whole hundredths of a second, so that 59.996 s reads "00.00" of the next
// minute rather than "60.00".
long long hundredths(double utcSeconds)
{
    return std::llround(utcSeconds * 100);
}

// "hhmmss.ss"
std::string timeOfDay(double utcSeconds)
{
    const long long inDay = hundredths(utcSeconds) % (24 * 3600 * 100);
    char text[16];
    std::snprintf(text, sizeof text, "%02lld%02lld%02lld.%02lld", inDay / 360000, inDay / 6000 % 60,
                  inDay / 100 % 60, inDay % 100);
    return text;
}

// "ddmmyy"
std::string date(double utcSeconds)
{
    const std::time_t seconds = std::time_t(hundredths(utcSeconds) / 100);
    std::tm day{};
#ifdef _WIN32
    gmtime_s(&day, &seconds);
#else
    gmtime_r(&seconds, &day);
#endif
    char text[40];
    std::snprintf(text, sizeof text, "%02d%02d%02d", day.tm_mday, day.tm_mon + 1,
                  day.tm_year % 100);
    return text;
}

// "4807.03800,N,01111.00000,E": a point near Munich, moving on a small circle.
std::string position(long fixNumber)
{
    const double wobble = double(fixNumber % 360) * M_PI / 180.0;
    const double latitudeMinutes = 7.038 + 0.00002 * std::sin(wobble);
    const double longitudeMinutes = 11.0 + 0.00002 * std::cos(wobble);
    char text[40];
    std::snprintf(text, sizeof text, "48%08.5f,N,011%08.5f,E", latitudeMinutes, longitudeMinutes);
    return text;
}

} // namespace

std::string Nmea::checksum(const std::string &body)
{
    unsigned char sum = 0;
    for (char c : body)
        sum ^= static_cast<unsigned char>(c);
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", sum);
    return hex;
}

std::string Nmea::ggaSentence(double utcSeconds, long fixNumber)
{
    char body[160];
    std::snprintf(body, sizeof body, "GPGGA,%s,%s,1,12,0.8,545.400,M,46.900,M,,",
                  timeOfDay(utcSeconds).c_str(), position(fixNumber).c_str());
    return framed(body);
}

std::string Nmea::rmcSentence(double utcSeconds, long fixNumber)
{
    char body[160];
    std::snprintf(body, sizeof body, "GPRMC,%s,A,%s,0.00,0.00,%s,,,A",
                  timeOfDay(utcSeconds).c_str(), position(fixNumber).c_str(),
                  date(utcSeconds).c_str());
    return framed(body);
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

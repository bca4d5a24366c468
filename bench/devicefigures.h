#ifndef DEVICEFIGURES_H
#define DEVICEFIGURES_H

#include "endurance.h"

#include <QString>

// Figures of the device side and of the server under many clients: a device
// that reads at its line rate while a TCP client pushes more than it can
// take, the window's CPU with many slow clients, and memory with binary
// corrections on a real display.

struct SlowDevice
{
    double longestAgeSeconds = 0; // of a marked sentence when it reached the device
    int sent = 0; // marked sentences
    int arrived = 0;
    int dropped = 0; // blocks the device did not get
};

// The device reads `baud / 10` bytes a second, the window's baud rate is set
// to the same, and a TCP client pushes 5 MiB while another sends a marked
// sentence a second for `seconds`.
SlowDevice measureSlowDevice(int baud, double seconds);

// MB/s from a TCP client of the server role to a device that reads as fast
// as it can, for `bytes`; -1 when not all of it arrived within two minutes.
double measureUploadThroughput(long long bytes);

// Resident size before `clients` TCP clients connect, and `seconds` after
// each began to push 2 MiB, towards a device that reads at its line rate.
MemoryGrowth measureHeldClientsGrowth(int clients, int baud, double seconds);

// The age, in seconds, of a short message that a client sends 3 s after
// another client sent `leaverBytes` and closed, while a third one's upload
// holds reading, when it reaches a device that reads at its line rate; -1
// when it has not arrived within ageCapSeconds.
constexpr double ageCapSeconds = 60;
double measureAgeAfterLeaver(int baud, int leaverBytes);

// The window's CPU, in percent of a core, while `clients` TCP clients each
// send one GGA sentence a second.
double measureManyClientsCpu(int clients, double seconds);

// Resident size on the xcb platform under an Xvfb of its own, with the CJK
// font, while a TCP client sends 2 KB/s of random bytes and the receiver
// streams 100 sentences a second; `skipped` says why when it could not run.
MemoryGrowth measureDisplayGrowth(const char *self, double seconds, QString *skipped);
int displayGrowthChild(int argc, char **argv);

#endif // DEVICEFIGURES_H

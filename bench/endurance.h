#ifndef ENDURANCE_H
#define ENDURANCE_H

// Figures for a bridge that runs for days and meets any input: memory at a
// receiver's pace and at full rate, and how long hostile text that reaches
// the views can hold up forwarding.

// Resident size once the views are full, and again after `seconds` more.
struct MemoryGrowth
{
    long baselineKiB = 0;
    long endKiB = 0;
    double growthMiB() const { return double(endKiB - baselineKiB) / 1024; }
};

MemoryGrowth measureGrowthAtPace(double seconds);
MemoryGrowth measureGrowthAtFullRate(double seconds);

enum class StallRole { Udp, TcpServer };
enum class HostileInput { Block64KiB, Block1MiB, Stream400kBps };

// While a receiver's stream (one sentence every 10 ms) is forwarded, a peer
// sends text with no break opportunity, which the lower view shows.
struct Stall
{
    double largestGapMs = 0; // between two forwarded sentences
    double longestPassMs = 0; // the event loop did not come round
    long long hostileBytes = 0; // how much of the hostile input reached the device
};

Stall measureStall(StallRole role, HostileInput input, double streamSeconds);

#endif // ENDURANCE_H

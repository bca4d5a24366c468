#ifndef FORWARDING_H
#define FORWARDING_H

// Figures of the forwarding path, each for the window and for socat doing
// the same job: throughput, added latency and CPU at the receiver's pace.

#include <cstddef>

struct Throughput
{
    double mbPerSecond = 0;
    long long lost = 0;
    long long datagrams = 0;
    long long largest = 0;
};

struct Latency
{
    double p50 = 0;
    double p99 = 0;
};

// Side is TavrikForwarder or SocatForwarder (harness.h).
template<typename Side>
Throughput measureThroughput(std::size_t total);
template<typename Side>
Latency measureLatency(int sentences);
template<typename Side>
double measureCpuPercent(double seconds);

#endif // FORWARDING_H

#include "forwarding.h"

#include "harness.h"

#include <algorithm>

// Forward throughput: a large stream as fast as the line takes.
template<typename Side>
Throughput measureThroughput(size_t total)
{
    Line line;
    UdpSink sink;
    Side side(line, sink.port);
    if (!side.ready())
        return {};
    const QByteArray block = ggaBlock(64 * 1024);
    std::atomic<bool> written{ false };
    const auto start = Clock::now();
    std::thread writer([&] {
        for (size_t sent = 0; sent < total;) {
            const size_t n = std::min(size_t(block.size()), total - sent);
            if (!line.feed(block.constData(), n))
                break;
            sent += n;
        }
        written = true;
    });
    if (side.gui())
        spinUntil([&] { return written.load(); }, 600);
    writer.join();
    waitForArrivals(sink, (long long)total, side.gui());
    sink.finish();
    Throughput result;
    const double seconds = std::chrono::duration<double>(sink.lastArrival - start).count();
    result.mbPerSecond = double(sink.bytes) / 1e6 / seconds;
    result.lost = (long long)total - sink.bytes;
    result.datagrams = sink.datagrams;
    result.largest = sink.largest;
    return result;
}

// Added latency: one 80-byte sentence every 10 ms, write to UDP receive.
template<typename Side>
Latency measureLatency(int sentences)
{
    Line line;
    UdpSink sink(true);
    Side side(line, sink.port);
    if (!side.ready())
        return {};
    std::vector<Clock::time_point> writes{ size_t(sentences) };
    std::atomic<bool> written{ false };
    std::thread writer([&] {
        auto next = Clock::now();
        for (int i = 0; i < sentences; ++i) {
            std::this_thread::sleep_until(next);
            const QByteArray s = sentence80(i);
            writes[size_t(i)] = Clock::now();
            line.feed(s.constData(), size_t(s.size()));
            next += std::chrono::milliseconds(10);
        }
        written = true;
    });
    if (side.gui())
        spinUntil([&] { return written.load(); }, 600);
    writer.join();
    waitForArrivals(sink, 80LL * sentences, side.gui());
    sink.finish();

    std::vector<double> delays;
    size_t a = 0;
    for (int i = 0; i < sentences; ++i) {
        const long long end = 80LL * (i + 1);
        while (a < sink.arrivals.size() && sink.arrivals[a].first < end)
            ++a;
        if (a == sink.arrivals.size())
            break;
        delays.push_back(std::chrono::duration<double, std::milli>(sink.arrivals[a].second
                                                                   - writes[size_t(i)])
                                 .count());
    }
    std::sort(delays.begin(), delays.end());
    Latency result;
    if (!delays.empty()) {
        result.p50 = delays[delays.size() / 2];
        result.p99 = delays[std::min(delays.size() - 1, delays.size() * 99 / 100)];
    }
    return result;
}

// CPU at the receiver's pace: 100 sentences a second.
template<typename Side>
double measureCpuPercent(double seconds)
{
    Line line;
    UdpSink sink;
    Side side(line, sink.port);
    if (!side.ready())
        return -1;
    std::atomic<bool> written{ false };
    const int sentences = int(seconds * 100);
    std::thread writer([&] {
        auto next = Clock::now();
        for (int i = 0; i < sentences; ++i) {
            std::this_thread::sleep_until(next);
            const QByteArray s = sentence80(i);
            line.feed(s.constData(), size_t(s.size()));
            next += std::chrono::milliseconds(10);
        }
        written = true;
    });
    const double cpuBefore = side.cpuSeconds();
    const auto start = Clock::now();
    if (side.gui())
        spinUntil([&] { return written.load(); }, 600);
    writer.join();
    const double cpu = side.cpuSeconds() - cpuBefore;
    const double elapsed = secondsSince(start);
    sink.finish();
    return 100.0 * cpu / elapsed;
}

template Throughput measureThroughput<TavrikForwarder>(std::size_t);
template Throughput measureThroughput<SocatForwarder>(std::size_t);
template Latency measureLatency<TavrikForwarder>(int);
template Latency measureLatency<SocatForwarder>(int);
template double measureCpuPercent<TavrikForwarder>(double);
template double measureCpuPercent<SocatForwarder>(double);

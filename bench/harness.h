#ifndef HARNESS_H
#define HARNESS_H

// What the figures share: the receiver's line, a UDP sink, the window and
// socat as forwarders, and a GUI loop that runs while other threads work.

#include "processes.h"
#include "sockets.h"
#include "windowrig.h"
#include "widget.h"

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start);

struct Options
{
    bool quick = false;
    double scale() const { return quick ? 0.1 : 1.0; }
};

// The receiver's line: the tests' device line, played from threads of the
// bench's own rather than from the event loop.
class Line : public DevicePlayer
{
public:
    ~Line();
    // Reads and drops what the window writes to the device from now on, as a
    // receiver that takes everything would.
    void startDraining();
    std::atomic<long long> drainedBytes{ 0 };
    // Writes as the receiver, waiting while the line is full; with `stop`,
    // gives up once it is set.
    bool feed(const char *data, size_t size, const std::atomic<bool> *stop = nullptr);

private:
    std::thread drainer;
    std::atomic<bool> stopDraining{ false };
};

// CPU time of the calling thread, in seconds.
double threadCpuSeconds();

// GGA lines, cycled, as the stream to forward.
QByteArray ggaBlock(size_t size);

// An 80-byte sentence, as the latency figure asks for.
QByteArray sentence80(long fix);

// Receives datagrams on 127.0.0.1 in a thread, counting bytes and, when asked,
// noting when each byte count was reached.
class UdpSink
{
public:
    explicit UdpSink(bool noteArrivals = false);
    ~UdpSink();

    quint16 port = 0;
    std::atomic<long long> bytes{ 0 };
    std::atomic<long long> datagrams{ 0 };
    std::atomic<long long> largest{ 0 };
    Clock::time_point lastArrival;
    // (bytes so far, time): read only after the sink has stopped.
    std::vector<std::pair<long long, Clock::time_point>> arrivals;

    void finish();

private:
    void run();

    int fd = -1;
    bool noteArrivals;
    std::atomic<bool> stop{ false };
    std::thread thread;
};

// Runs the GUI event loop until `done` holds or `seconds` pass, looking every
// few milliseconds; in between the loop sleeps as the program's own would.
void spinUntil(const std::function<bool()> &done, double seconds);
// Runs the GUI event loop for `seconds`.
void spinFor(double seconds);

// Waits for a stream to settle: all bytes in, or no progress for a while.
void waitForArrivals(UdpSink &sink, long long expected, bool gui);

// One side of a comparison: the window or socat, forwarding a line to UDP.
class Forwarder
{
public:
    virtual ~Forwarder() = default;
    // Whether it is forwarding; a figure of one that is not is left out.
    virtual bool ready() const = 0;
    virtual bool gui() const = 0;
    virtual double cpuSeconds() const = 0;
};

class TavrikForwarder : public Forwarder
{
public:
    TavrikForwarder(const Line &line, quint16 udpPort);
    bool ready() const override { return up; }
    bool gui() const override { return true; }
    double cpuSeconds() const override { return threadCpuSeconds(); }
    WindowRig &rig() { return *window; }

private:
    std::unique_ptr<WindowRig> window;
    bool up = false;
};

class SocatForwarder : public Forwarder
{
public:
    SocatForwarder(const Line &line, quint16 udpPort);
    bool ready() const override { return process.state() == QProcess::Running; }
    bool gui() const override { return false; }
    double cpuSeconds() const override;

private:
    PeerProcess process;
};

long residentKiB();

#endif // HARNESS_H

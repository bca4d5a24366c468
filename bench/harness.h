#ifndef HARNESS_H
#define HARNESS_H

// What the figures share: the receiver's line, a UDP sink, the window and
// socat as forwarders, and a GUI loop that runs while other threads work.

#include "testsupport.h"
#include "widget.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QString>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
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
class Line : public DeviceLine
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
    explicit UdpSink(bool noteArrivals = false) : noteArrivals(noteArrivals)
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        const int size = 16 * 1024 * 1024;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(loopback().toIPv4Address());
        bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
        port = ntohs(address.sin_port);
        thread = std::thread([this] { run(); });
    }
    ~UdpSink()
    {
        finish();
        ::close(fd);
    }

    quint16 port = 0;
    std::atomic<long long> bytes{ 0 };
    std::atomic<long long> datagrams{ 0 };
    std::atomic<long long> largest{ 0 };
    Clock::time_point lastArrival;
    // (bytes so far, time): read only after the sink has stopped.
    std::vector<std::pair<long long, Clock::time_point>> arrivals;

    void finish()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
    }

private:
    void run()
    {
        std::vector<char> buffer(70000);
        while (!stop) {
            pollfd p{ fd, POLLIN, 0 };
            if (poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
            if (n < 0)
                continue;
            const auto at = Clock::now();
            lastArrival = at;
            bytes += n;
            ++datagrams;
            largest = std::max<long long>(largest, n);
            if (noteArrivals)
                arrivals.emplace_back(bytes.load(), at);
        }
    }

    int fd = -1;
    bool noteArrivals;
    std::atomic<bool> stop{ false };
    std::thread thread;
};

// Runs the GUI event loop until `done` holds or `seconds` pass, looking every
// few milliseconds; in between the loop sleeps as the program's own would.
void spinUntil(const std::function<bool()> &done, double seconds);

// Waits for a stream to settle: all bytes in, or no progress for a while.
void waitForArrivals(UdpSink &sink, long long expected, bool gui);

// One side of a comparison: the window or socat, forwarding a line to UDP.
class Forwarder
{
public:
    virtual ~Forwarder() = default;
    virtual bool gui() const = 0;
    virtual double cpuSeconds() const = 0;
};

class TavrikForwarder : public Forwarder
{
public:
    TavrikForwarder(const Line &line, quint16 udpPort)
    {
        window = std::make_unique<WindowRig>(QStringList{ line.portName() });
        window->window.show();
        window->connectUdp(udpPort);
        window->click("ConnectBtn");
        QCoreApplication::processEvents();
    }
    bool gui() const override { return true; }
    double cpuSeconds() const override { return threadCpuSeconds(); }
    WindowRig &rig() { return *window; }

private:
    std::unique_ptr<WindowRig> window;
};

class SocatForwarder : public Forwarder
{
public:
    SocatForwarder(const Line &line, quint16 udpPort)
    {
        process.start(
                "socat",
                { line.portName() + ",raw,echo=0",
                  QStringLiteral("UDP-SENDTO:%1:%2").arg(loopback().toString()).arg(udpPort) });
        process.waitForStarted(3000);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    bool running() const { return process.state() == QProcess::Running; }
    bool gui() const override { return false; }
    double cpuSeconds() const override
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(process.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return 0;
        const QList<QByteArray> fields = stat.readAll().split(')').last().split(' ');
        // After the command: state is field 1, utime 12, stime 13.
        return double(fields.value(12).toLongLong() + fields.value(13).toLongLong())
                / double(sysconf(_SC_CLK_TCK));
    }

private:
    PeerProcess process;
};

long residentKiB();

#endif // HARNESS_H

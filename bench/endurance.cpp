#include "endurance.h"

#include "harness.h"
#include "tcpserver.h"
#include "sockets.h"
#include "windowrig.h"

#include <QTimer>

#include <algorithm>
#include <cstdio>

#include <sys/socket.h>

namespace {

// Writes to the line from a thread of its own until destroyed: a sentence
// every `interval`, or, with no interval, 64 KB blocks as fast as the line
// takes them.
class LineWriter
{
public:
    LineWriter(Line &line, std::chrono::microseconds interval)
    {
        thread = std::thread([this, &line, interval] {
            if (interval.count() == 0) {
                const QByteArray block = ggaBlock(64 * 1024);
                while (line.feed(block.constData(), size_t(block.size()), &stop)) { }
                return;
            }
            auto next = Clock::now();
            for (long fix = 0; !stop; ++fix) {
                std::this_thread::sleep_until(next);
                const QByteArray s = sentence80(fix);
                line.feed(s.constData(), size_t(s.size()), &stop);
                next += interval;
            }
        });
    }
    ~LineWriter()
    {
        stop = true;
        thread.join();
    }

private:
    std::atomic<bool> stop{ false };
    std::thread thread;
};

void runFor(double seconds)
{
    spinFor(seconds);
}

// The longest stretch in which the event loop did not come round: a timer
// due every millisecond is late by that much. While it lasts, nothing else is
// read or forwarded.
class PassTimer
{
public:
    PassTimer()
    {
        ticks.setTimerType(Qt::PreciseTimer);
        ticks.setInterval(1);
        QObject::connect(&ticks, &QTimer::timeout, [this] {
            const auto now = Clock::now();
            longestMs = std::max(longestMs,
                                 std::chrono::duration<double, std::milli>(now - last).count());
            last = now;
        });
        ticks.start();
    }
    double longestMs = 0;

private:
    QTimer ticks;
    Clock::time_point last = Clock::now();
};

// Text without a break opportunity anywhere.
QByteArray unbreakable(int size)
{
    QByteArray text(size, 'A');
    for (int i = 0; i < size; ++i)
        text[i] = "0123456789ABCDEF"[i % 16];
    return text;
}

// A peer of the window on loopback, on a thread of its own: a TCP client of
// its server that reads and notes when each piece arrived, or a TCP client or
// UDP peer that sends.
class Peer
{
public:
    Peer(Transport transport, quint16 port)
        : transport(transport), fd(connectedSocket(port, transport))
    {
    }
    ~Peer()
    {
        finish();
        closeSocket(fd);
    }
    void startReading()
    {
        thread = std::thread([this] {
            std::vector<char> buffer(65536);
            while (!stop) {
                pollfd p{ fd, POLLIN, 0 };
                if (poll(&p, 1, 20) <= 0)
                    continue;
                if (recv(fd, buffer.data(), buffer.size(), 0) <= 0)
                    return;
                arrivals.push_back(Clock::now());
            }
        });
    }
    // Sends `piece` every `interval` for `seconds`, or once when the interval is 0.
    void startSending(const QByteArray &piece, std::chrono::milliseconds interval, double seconds)
    {
        thread = std::thread([=] {
            const auto start = Clock::now();
            auto next = start;
            do {
                send(piece);
                next += interval;
                std::this_thread::sleep_until(next);
            } while (!stop && interval.count() > 0 && secondsSince(start) < seconds);
        });
    }
    void finish()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
    }

    std::vector<Clock::time_point> arrivals; // read only after finish()

private:
    void send(const QByteArray &data)
    {
        const qsizetype most = transport == Transport::Udp ? Widget::maxDatagramSize : data.size();
        for (qsizetype sent = 0; sent < data.size() && !stop;) {
            const ssize_t n = ::send(fd, data.constData() + sent,
                                     size_t(std::min(most, data.size() - sent)), 0);
            if (n <= 0)
                return;
            sent += n;
        }
    }

    Transport transport;
    int fd;
    std::atomic<bool> stop{ false };
    std::thread thread;
};

double largestGapMs(const std::vector<Clock::time_point> &arrivals)
{
    double largest = 0;
    for (size_t i = 1; i < arrivals.size(); ++i)
        largest = std::max(
                largest,
                std::chrono::duration<double, std::milli>(arrivals[i] - arrivals[i - 1]).count());
    return largest;
}

} // namespace

MemoryGrowth measureGrowthAtPace(double seconds)
{
    Line line;
    UdpSink sink;
    TavrikForwarder side(line, sink.port);
    MemoryGrowth result;
    {
        // A thousand sentences a second fill the 5000 paragraphs of the view
        // in a few seconds; from then on it only trims.
        LineWriter filler(line, std::chrono::milliseconds(1));
        runFor(6.5);
    }
    LineWriter receiver(line, std::chrono::milliseconds(10));
    runFor(5);
    result.baselineKiB = residentKiB();
    // The course of a long run shows whether it levels off.
    for (double done = 0; done < seconds; done += 60) {
        runFor(std::min(60.0, seconds - done));
        std::fprintf(stderr, "  RSS after %.0f s: %.1f MB\n", std::min(done + 60, seconds),
                     residentKiB() / 1024.0);
    }
    result.endKiB = residentKiB();
    return result;
}

MemoryGrowth measureGrowthAtFullRate(double seconds)
{
    Line line;
    UdpSink sink;
    TavrikForwarder side(line, sink.port);
    LineWriter writer(line, std::chrono::microseconds(0));
    MemoryGrowth result;
    runFor(5);
    result.baselineKiB = residentKiB();
    runFor(seconds);
    result.endKiB = residentKiB();
    return result;
}

Stall measureStall(StallRole role, HostileInput input, double streamSeconds)
{
    Line line;
    line.startDraining();
    UdpSink sink(true);
    TavrikForwarder side(line, sink.port);
    WindowRig &rig = side.rig();
    std::unique_ptr<Peer> reader;
    std::unique_ptr<Peer> hostile;
    if (role == StallRole::TcpServer) {
        // Take the UDP role down and put the server up in its place.
        rig.click("pBtnNetCnnt");
        auto *server = rig.startServer();
        if (!server)
            return {};
        reader = std::make_unique<Peer>(Transport::Tcp, server->serverPort());
        hostile = std::make_unique<Peer>(Transport::Tcp, server->serverPort());
        spinUntil([server] { return server->clientCount() == 2; }, 5);
        reader->startReading();
    } else {
        hostile = std::make_unique<Peer>(Transport::Udp, rig.udpPort());
    }

    Stall result;
    {
        LineWriter receiver(line, std::chrono::milliseconds(10));
        runFor(1);
        PassTimer passes;
        switch (input) {
        case HostileInput::Block64KiB:
            hostile->startSending(unbreakable(64 * 1024), std::chrono::milliseconds(0), 0);
            break;
        case HostileInput::Block1MiB:
            hostile->startSending(unbreakable(1024 * 1024), std::chrono::milliseconds(0), 0);
            break;
        case HostileInput::Stream400kBps:
            hostile->startSending(unbreakable(4000), std::chrono::milliseconds(10), streamSeconds);
            break;
        }
        runFor((input == HostileInput::Stream400kBps ? streamSeconds : 2) + 1);
        result.longestPassMs = passes.longestMs;
    }
    runFor(0.5);
    sink.finish();
    hostile->finish();
    if (reader) {
        reader->finish();
        result.largestGapMs = largestGapMs(reader->arrivals);
    } else {
        std::vector<Clock::time_point> arrivals;
        for (const auto &arrival : sink.arrivals)
            arrivals.push_back(arrival.second);
        result.largestGapMs = largestGapMs(arrivals);
    }
    result.hostileBytes = line.drainedBytes;
    return result;
}

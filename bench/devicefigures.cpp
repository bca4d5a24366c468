#include "devicefigures.h"

#include "harness.h"
#include "tcpserver.h"
#include "processes.h"
#include "sockets.h"
#include "windowrig.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QSerialPort>
#include <QTemporaryDir>

#include <cstdio>

#include <sys/socket.h>
#include <map>
#include <mutex>
#include <optional>
#include <random>

#include <sys/resource.h>

namespace {

// The window with its serial link open at `baud` on a line of its own, the
// TCP server role up (`server` is null when it did not start), and a capture
// folder of its own.
struct ServerWindow
{
    explicit ServerWindow(int baud)
    {
        rig->window.show();
        rig->choose("BaudCB", QString::number(baud));
        rig->click("ConnectBtn");
        server = rig->startServer();
    }
    Line line;
    QTemporaryDir folder;
    CaptureDirectory capture{ folder.path() };
    std::unique_ptr<WindowRig> rig = std::make_unique<WindowRig>(QStringList{ line.portName() });
    TcpServer *server = nullptr;
};

// A short sentence that a peer sends, numbered, for its age at the device.
QByteArray markedSentence(int number)
{
    return QByteArrayLiteral("$MARK,") + QByteArray::number(number).rightJustified(6, '0')
            + QByteArrayLiteral("*00\r\n");
}

// Plays a device that reads at its line rate, `baud / 10` bytes a second,
// in the 50 ms steps of a UART's FIFO, and notes when each marked sentence
// arrives.
class PacedDevice
{
public:
    PacedDevice(const Line &line, int baud)
        : thread([this, fd = line.deviceDescriptor(), baud] { run(fd, baud); })
    {
    }
    ~PacedDevice()
    {
        stop = true;
        thread.join();
    }
    std::atomic<long long> bytes{ 0 };
    // When the marked sentence arrived; empty while it has not.
    std::optional<Clock::time_point> arrival(int number)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        const auto it = arrivals.find(number);
        return it == arrivals.end() ? std::nullopt : std::optional(it->second);
    }

private:
    void run(int fd, int baud)
    {
        std::vector<char> buffer(65536);
        QByteArray tail; // from the last marker's start, for one split across reads
        const int markerSize = markedSentence(0).size();
        const auto start = Clock::now();
        while (!stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const long long due = (long long)(secondsSince(start) * baud / 10.0) - bytes;
            if (due <= 0)
                continue;
            const ssize_t n = ::read(fd, buffer.data(), size_t(std::min<long long>(due, 65536)));
            if (n <= 0)
                continue;
            bytes += n;
            tail += QByteArray(buffer.data(), int(n));
            int at = 0;
            for (int found;
                 (found = tail.indexOf("$MARK,", at)) >= 0 && found + markerSize <= tail.size();
                 at = found + markerSize) {
                const std::lock_guard<std::mutex> lock(mutex);
                arrivals.emplace(tail.mid(found + 6, 6).toInt(), Clock::now());
            }
            tail = tail.mid(std::max(at, int(tail.size()) - markerSize));
        }
    }
    std::atomic<bool> stop{ false };
    std::mutex mutex;
    std::map<int, Clock::time_point> arrivals;
    std::thread thread;
};

} // namespace

SlowDevice measureSlowDevice(int baud, double seconds)
{
    ServerWindow bench(baud);
    TcpServer *server = bench.server;
    SlowDevice result;
    if (!server)
        return result;

    // The trace tells of every block the device does not get.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=true"));
    TraceLog trace;
    PacedDevice device(bench.line, baud);
    const QByteArray upload(5 * 1024 * 1024, 'r');
    const int pusher = connectedSocket(server->serverPort());
    std::thread push([&] { sendAll(pusher, upload); });
    // Another peer sends a marked sentence a second, as a correction source would.
    const int sender = connectedSocket(server->serverPort());
    std::vector<Clock::time_point> sent;
    const auto start = Clock::now();
    while (secondsSince(start) < seconds) {
        sent.push_back(Clock::now());
        sendAll(sender, markedSentence(int(sent.size()) - 1));
        spinFor(1);
    }
    // A sentence that has not arrived counts with its age so far.
    const auto end = Clock::now();
    for (size_t i = 0; i < sent.size(); ++i) {
        const std::optional<Clock::time_point> arrived = device.arrival(int(i));
        result.arrived += arrived ? 1 : 0;
        result.longestAgeSeconds =
                std::max(result.longestAgeSeconds,
                         std::chrono::duration<double>(arrived.value_or(end) - sent[i]).count());
    }
    result.sent = int(sent.size());
    shutdownSocket(pusher); // wakes the pusher's send
    push.join();
    closeSocket(pusher);
    closeSocket(sender);
    result.dropped = trace.count(QStringLiteral("向串口写入数据错误"));
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    return result;
}

double measureUploadThroughput(long long bytes)
{
    ServerWindow bench(115200);
    TcpServer *server = bench.server;
    bench.line.startDraining();
    if (!server)
        return -1;
    const int fd = connectedSocket(server->serverPort());
    const QByteArray upload(int(bytes), 'u');
    const auto start = Clock::now();
    std::thread client([&] { sendAll(fd, upload); });
    spinUntil([&] { return bench.line.drainedBytes >= bytes; }, 120);
    const double seconds = secondsSince(start);
    const long long drained = bench.line.drainedBytes;
    shutdownSocket(fd);
    client.join();
    closeSocket(fd);
    return drained >= bytes ? double(bytes) / 1e6 / seconds : -1;
}

MemoryGrowth measureHeldClientsGrowth(int clients, int baud, double seconds)
{
    ServerWindow bench(baud);
    TcpServer *server = bench.server;
    MemoryGrowth result;
    if (!server)
        return result;
    PacedDevice device(bench.line, baud);
    spinFor(1);
    result.baselineKiB = residentKiB();

    const QByteArray upload(2 * 1024 * 1024, 'h');
    std::vector<int> sockets;
    std::vector<std::thread> pushers;
    for (int i = 0; i < clients; ++i) {
        const int fd = connectedSocket(server->serverPort());
        sockets.push_back(fd);
        pushers.emplace_back([fd, &upload] { sendAll(fd, upload); });
        // The listen queue is short: the window accepts while clients come.
        if (i % 20 == 19)
            spinUntil([&] { return server->clientCount() == i + 1; }, 5);
    }
    spinFor(seconds);
    result.endKiB = residentKiB();
    for (int fd : sockets)
        shutdownSocket(fd); // wakes a send that the window holds back
    for (std::thread &pusher : pushers)
        pusher.join();
    for (int fd : sockets)
        closeSocket(fd);
    return result;
}

double measureAgeAfterLeaver(int baud, int leaverBytes)
{
    ServerWindow bench(baud);
    TcpServer *server = bench.server;
    if (!server)
        return -1;
    PacedDevice device(bench.line, baud);

    // One client's upload keeps the device behind, and reading held.
    const int pusher = connectedSocket(server->serverPort());
    std::thread push([pusher] { sendAll(pusher, QByteArray(8 * 1024 * 1024, 'u')); });
    spinFor(2);
    // Another sends, and closes normally.
    const int leaver = connectedSocket(server->serverPort());
    std::thread leave([leaver, leaverBytes] {
        sendAll(leaver, QByteArray(leaverBytes, 'l'));
        closeSocket(leaver);
    });
    spinFor(3);
    const int sender = connectedSocket(server->serverPort());
    const auto sent = Clock::now();
    sendAll(sender, markedSentence(0));
    spinUntil([&] { return device.arrival(0).has_value(); }, ageCapSeconds);
    const std::optional<Clock::time_point> arrived = device.arrival(0);
    const double age = arrived ? std::chrono::duration<double>(*arrived - sent).count() : -1;
    shutdownSocket(pusher);
    push.join();
    leave.join();
    closeSocket(pusher);
    closeSocket(sender);
    return age;
}

double measureManyClientsCpu(int clients, double seconds)
{
    // Every client takes a descriptor on each side.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur,
                                      std::min<rlim_t>(limit.rlim_max, rlim_t(2 * clients + 256)));
    setrlimit(RLIMIT_NOFILE, &limit);

    ServerWindow bench(115200);
    TcpServer *server = bench.server;
    bench.line.startDraining();
    if (!server)
        return -1;
    std::vector<int> sockets;
    for (int i = 0; i < clients; ++i) {
        sockets.push_back(connectedSocket(server->serverPort()));
        if (i % 50 == 49)
            spinUntil([&] { return server->clientCount() == i + 1; }, 5);
    }
    spinUntil([&] { return server->clientCount() == clients; }, 10);

    // One sentence a second from each, spread evenly over the second.
    std::atomic<bool> stop{ false };
    const QByteArray gga = sentence80(1);
    std::thread senders([&] {
        const auto step = std::chrono::microseconds(1000000 / clients);
        auto next = Clock::now();
        while (!stop) {
            for (int fd : sockets) {
                std::this_thread::sleep_until(next);
                next += step;
                sendAll(fd, gga);
            }
        }
    });
    spinFor(2);
    const double cpuBefore = threadCpuSeconds();
    const auto start = Clock::now();
    spinFor(seconds);
    const double percent = 100 * (threadCpuSeconds() - cpuBefore) / secondsSince(start);
    stop = true;
    senders.join();
    for (int fd : sockets)
        closeSocket(fd);
    return percent;
}

int displayGrowthChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const double seconds = QString::fromLocal8Bit(argv[2]).toDouble();
    ServerWindow bench(115200);
    TcpServer *server = bench.server;
    bench.line.startDraining();
    if (!server)
        return 1;
    const int fd = connectedSocket(server->serverPort());
    spinUntil([&] { return server->clientCount() == 1; }, 5);

    // The receiver's stream, and binary corrections as random bytes: first
    // fast enough to fill both views, then at 2 KB/s.
    std::atomic<bool> stop{ false };
    std::atomic<bool> filling{ true };
    std::thread receiver([&] {
        auto next = Clock::now();
        for (long fix = 0; !stop; ++fix) {
            next += filling ? std::chrono::microseconds(1000) : std::chrono::microseconds(10000);
            std::this_thread::sleep_until(next);
            const QByteArray s = sentence80(fix);
            bench.line.feed(s.constData(), size_t(s.size()), &stop);
        }
    });
    std::thread corrections([&] {
        std::mt19937 random(52047820);
        QByteArray block(500, Qt::Uninitialized);
        auto next = Clock::now();
        while (!stop) {
            next += filling ? std::chrono::microseconds(1000) : std::chrono::microseconds(250000);
            std::this_thread::sleep_until(next);
            for (char &byte : block)
                byte = char(random());
            sendAll(fd, block);
        }
    });
    spinFor(10);
    filling = false;
    spinFor(20);
    std::printf("baseline %ld\n", residentKiB());
    std::fflush(stdout);
    for (double done = 0; done < seconds; done += 60) {
        spinFor(std::min(60.0, seconds - done));
        std::printf("after %.0f %ld\n", std::min(done + 60, seconds), residentKiB());
        std::fflush(stdout);
    }
    stop = true;
    shutdownSocket(fd); // wakes a send that the window does not take
    receiver.join();
    corrections.join();
    closeSocket(fd);
    return 0;
}

MemoryGrowth measureDisplayGrowth(const char *self, double seconds, QString *skipped)
{
    MemoryGrowth result;
    VirtualDisplay display;
    if (!display.start(skipped))
        return result;
    PeerProcess child;
    child.setProcessEnvironment(display.environment());
    child.start(QString::fromLocal8Bit(self),
                { QStringLiteral("--display-growth-child"), QString::number(seconds) });
    while (child.waitForReadyRead(int(seconds * 1000) + 120000) || child.canReadLine()) {
        while (child.canReadLine()) {
            const QList<QByteArray> words = child.readLine().trimmed().split(' ');
            if (words.first() == "baseline" && words.size() == 2) {
                result.baselineKiB = words[1].toLong();
            } else if (words.first() == "after" && words.size() == 3) {
                result.endKiB = words[2].toLong();
                std::fprintf(stderr, "  RSS after %s s: %.1f MB\n", words[1].constData(),
                             result.endKiB / 1024.0);
            }
        }
        if (child.state() == QProcess::NotRunning)
            break;
    }
    child.waitForFinished(10000);
    if (result.baselineKiB == 0 || result.endKiB == 0)
        *skipped = QStringLiteral("the window on the display did not report");
    return result;
}

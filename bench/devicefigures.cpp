#include "devicefigures.h"

#include "harness.h"
#include "tcpserver.h"
#include "testsupport.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QSerialPort>
#include <QTemporaryDir>

#include <cstdio>
#include <random>

#include <sys/resource.h>

namespace {

// The window with its serial link open on `line` at `baud` and the TCP
// server role up.
std::unique_ptr<WindowRig> serverWindow(const Line &line, const char *baud)
{
    auto rig = std::make_unique<WindowRig>(QStringList{ line.portName() });
    rig->window.show();
    rig->choose("BaudCB", QString::fromLatin1(baud));
    rig->click("ConnectBtn");
    rig->startServer();
    return rig;
}

// Plays a device that reads at its line rate, `baud / 10` bytes a second,
// in the 50 ms steps of a UART's FIFO, and notes when `marker` first arrives.
class PacedDevice
{
public:
    PacedDevice(const Line &line, int baud, const QByteArray &marker = {})
        : thread([this, fd = line.deviceDescriptor(), baud, marker] { run(fd, baud, marker); })
    {
    }
    ~PacedDevice()
    {
        stop = true;
        thread.join();
    }
    std::atomic<long long> bytes{ 0 };
    std::atomic<bool> markerSeen{ false };
    Clock::time_point markerAt;

private:
    void run(int fd, int baud, const QByteArray &marker)
    {
        std::vector<char> buffer(65536);
        QByteArray tail; // the end of the last read, for a marker split across reads
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
            if (marker.isEmpty() || markerSeen)
                continue;
            tail += QByteArray(buffer.data(), int(n));
            if (tail.contains(marker)) {
                markerAt = Clock::now();
                markerSeen = true;
            }
            tail = tail.right(marker.size());
        }
    }
    std::atomic<bool> stop{ false };
    std::thread thread;
};

} // namespace

SlowDevice measureSlowDevice(int baud, double seconds)
{
    Line line;
    QTemporaryDir folder;
    CaptureDirectory capture(folder.path());
    const QByteArray baudText = QByteArray::number(baud);
    std::unique_ptr<WindowRig> rig = serverWindow(line, baudText.constData());
    auto *server = rig->window.findChild<TcpServer *>();
    auto *port = rig->window.findChild<QSerialPort *>();
    SlowDevice result;
    if (!server)
        return result;

    // The trace tells of every block the device does not get.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=true"));
    TraceLog trace;
    PacedDevice device(line, baud);
    const QByteArray upload(5 * 1024 * 1024, 'r');
    const int fd = connectedSocket(server->serverPort());
    std::thread client([&] { sendAll(fd, upload); });

    const auto start = Clock::now();
    spinUntil(
            [&] {
                result.largestQueue = std::max(result.largestQueue, port->bytesToWrite());
                return secondsSince(start) >= seconds;
            },
            seconds + 1);
    shutdownSocket(fd); // wakes the client's send
    client.join();
    closeSocket(fd);
    result.longestWaitSeconds = double(result.largestQueue) / (baud / 10.0);
    result.dropped = trace.count(QStringLiteral("向串口写入数据错误"));
    result.deviceBytes = device.bytes;
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    return result;
}

double measureUploadThroughput(long long bytes)
{
    Line line;
    line.startDraining();
    QTemporaryDir folder;
    CaptureDirectory capture(folder.path());
    std::unique_ptr<WindowRig> rig = serverWindow(line, "115200");
    auto *server = rig->window.findChild<TcpServer *>();
    if (!server)
        return -1;
    const int fd = connectedSocket(server->serverPort());
    const QByteArray upload(int(bytes), 'u');
    const auto start = Clock::now();
    std::thread client([&] { sendAll(fd, upload); });
    spinUntil([&] { return line.drainedBytes >= bytes; }, 120);
    const double seconds = secondsSince(start);
    const long long drained = line.drainedBytes;
    shutdownSocket(fd);
    client.join();
    closeSocket(fd);
    return drained >= bytes ? double(bytes) / 1e6 / seconds : -1;
}

MemoryGrowth measureHeldClientsGrowth(int clients, int baud, double seconds)
{
    Line line;
    QTemporaryDir folder;
    CaptureDirectory capture(folder.path());
    const QByteArray baudText = QByteArray::number(baud);
    std::unique_ptr<WindowRig> rig = serverWindow(line, baudText.constData());
    auto *server = rig->window.findChild<TcpServer *>();
    MemoryGrowth result;
    if (!server)
        return result;
    PacedDevice device(line, baud);
    spinUntil([] { return false; }, 1);
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
    spinUntil([] { return false; }, seconds);
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
    Line line;
    QTemporaryDir folder;
    CaptureDirectory capture(folder.path());
    const QByteArray baudText = QByteArray::number(baud);
    std::unique_ptr<WindowRig> rig = serverWindow(line, baudText.constData());
    auto *server = rig->window.findChild<TcpServer *>();
    if (!server)
        return -1;
    const QByteArray marker("$TAVRIK,MARK*00\r\n");
    PacedDevice device(line, baud, marker);

    // One client's upload keeps the device behind, and reading held.
    const int pusher = connectedSocket(server->serverPort());
    std::thread push([pusher] { sendAll(pusher, QByteArray(8 * 1024 * 1024, 'u')); });
    spinUntil([] { return false; }, 2);
    // Another sends, and closes normally.
    const int leaver = connectedSocket(server->serverPort());
    std::thread leave([leaver, leaverBytes] {
        sendAll(leaver, QByteArray(leaverBytes, 'l'));
        closeSocket(leaver);
    });
    spinUntil([] { return false; }, 3);
    const int sender = connectedSocket(server->serverPort());
    const auto sent = Clock::now();
    sendAll(sender, marker);
    spinUntil([&] { return device.markerSeen.load(); }, ageCapSeconds);
    const double age =
            device.markerSeen ? std::chrono::duration<double>(device.markerAt - sent).count() : -1;
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

    Line line;
    line.startDraining();
    std::unique_ptr<WindowRig> rig = serverWindow(line, "115200");
    auto *server = rig->window.findChild<TcpServer *>();
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
    spinUntil([] { return false; }, 2);
    const double cpuBefore = threadCpuSeconds();
    const auto start = Clock::now();
    spinUntil([] { return false; }, seconds);
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
    Line line;
    line.startDraining();
    QTemporaryDir folder;
    CaptureDirectory capture(folder.path());
    std::unique_ptr<WindowRig> rig = serverWindow(line, "115200");
    auto *server = rig->window.findChild<TcpServer *>();
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
            line.feed(s.constData(), size_t(s.size()), &stop);
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
    spinUntil([] { return false; }, 10);
    filling = false;
    spinUntil([] { return false; }, 20);
    std::printf("baseline %ld\n", residentKiB());
    std::fflush(stdout);
    for (double done = 0; done < seconds; done += 60) {
        spinUntil([] { return false; }, std::min(60.0, seconds - done));
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

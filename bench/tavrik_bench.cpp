// Measures the bridge beside socat doing the same job, and prints a table.
//
//   tavrik_bench [--quick]
//
// The window is the real one, driven through its controls, with a
// pseudo-terminal as the receiver's line and loopback sockets as peers.

#include "gga.h"
#include "paragraphlog.h"
#include "tcpserver.h"
#include "widget.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QProcess>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
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

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Options
{
    bool quick = false;
    double scale() const { return quick ? 0.1 : 1.0; }
};

// The device side of the receiver's line, written from a thread of its own.
class Line
{
public:
    Line()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
            slave = QString::fromLocal8Bit(ptsname(master));
    }
    ~Line()
    {
        if (master >= 0)
            ::close(master);
    }
    QString slavePath() const { return slave; }

    bool write(const char *data, size_t size)
    {
        while (size > 0) {
            const ssize_t n = ::write(master, data, size);
            if (n <= 0)
                return false;
            data += n;
            size -= size_t(n);
        }
        return true;
    }

private:
    int master = -1;
    QString slave;
};

// GGA lines, cycled, as the stream to forward.
QByteArray ggaBlock(size_t size)
{
    QByteArray block;
    for (long fix = 0; size_t(block.size()) < size; ++fix)
        block += QByteArray::fromStdString(Nmea::ggaSentence(double(fix) / 100, fix));
    return block;
}

// An 80-byte sentence, as the latency figure asks for.
QByteArray sentence80(long fix)
{
    QByteArray s = QByteArray::fromStdString(Nmea::ggaSentence(double(fix) / 100, fix));
    s.chop(2);
    s = s.leftJustified(78, ' ', true);
    return s + "\r\n";
}

// Receives datagrams on 127.0.0.1 in a thread, counting bytes and, when asked,
// noting when each byte count was reached.
class UdpSink
{
public:
    explicit UdpSink(bool noteArrivals = false)
        : noteArrivals(noteArrivals)
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        const int size = 16 * 1024 * 1024;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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
    std::atomic<long long> bytes { 0 };
    std::atomic<long long> datagrams { 0 };
    std::atomic<long long> largest { 0 };
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
            pollfd p { fd, POLLIN, 0 };
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
    std::atomic<bool> stop { false };
    std::thread thread;
};

// Runs the GUI event loop until `done` holds or `seconds` pass, looking every
// few milliseconds; in between the loop sleeps as the program's own would.
void spinUntil(const std::function<bool()> &done, double seconds)
{
    const auto start = Clock::now();
    if (done())
        return;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || secondsSince(start) >= seconds)
            loop.quit();
    });
    check.start(20);
    loop.exec();
}

// Waits for a stream to settle: all bytes in, or no progress for a while.
void waitForArrivals(UdpSink &sink, long long expected, bool gui)
{
    long long seen = -1;
    auto stalledSince = Clock::now();
    auto settled = [&] {
        if (sink.bytes >= expected)
            return true;
        if (sink.bytes != seen) {
            seen = sink.bytes;
            stalledSince = Clock::now();
        }
        return secondsSince(stalledSince) > 3;
    };
    if (gui) {
        spinUntil(settled, 600);
        return;
    }
    while (!settled())
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

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
        SystemProbe probe;
        const QString port = line.slavePath();
        probe.serialPortNames = [port] { return QStringList { port }; };
        probe.localAddresses = [] { return QList<QHostAddress>(); };
        window = std::make_unique<Widget>(probe);
        window->show();
        window->findChild<QLineEdit *>("lEditIpPort")->setText("0");
        window->findChild<QLineEdit *>("lEditUdpIP")->setText("127.0.0.1");
        window->findChild<QLineEdit *>("lEditUdpPort")->setText(QString::number(udpPort));
        window->findChild<QPushButton *>("pBtnNetCnnt")->click();
        window->findChild<QPushButton *>("ConnectBtn")->click();
        QCoreApplication::processEvents();
    }
    bool gui() const override { return true; }
    double cpuSeconds() const override
    {
        timespec ts {};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
    }
    Widget &widget() { return *window; }

private:
    std::unique_ptr<Widget> window;
};

class SocatForwarder : public Forwarder
{
public:
    SocatForwarder(const Line &line, quint16 udpPort)
    {
        process.start("socat", { line.slavePath() + ",raw,echo=0",
                                 QStringLiteral("UDP-SENDTO:127.0.0.1:%1").arg(udpPort) });
        process.waitForStarted(3000);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ~SocatForwarder() override
    {
        process.terminate();
        process.waitForFinished(3000);
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
    QProcess process;
};

long residentKiB()
{
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return 0;
}

struct Row
{
    QString figure;
    QString tavrik;
    QString socat;
    QString ratio;
    QString target;
};

QString fixed(double value, int decimals = 2)
{
    return QString::number(value, 'f', decimals);
}

// Forward throughput: a large stream as fast as the line takes.
struct Throughput
{
    double mbPerSecond = 0;
    long long lost = 0;
    long long datagrams = 0;
    long long largest = 0;
};

template <typename Side>
Throughput measureThroughput(size_t total)
{
    Line line;
    UdpSink sink;
    Side side(line, sink.port);
    const QByteArray block = ggaBlock(64 * 1024);
    std::atomic<bool> written { false };
    const auto start = Clock::now();
    std::thread writer([&] {
        for (size_t sent = 0; sent < total;) {
            const size_t n = std::min(size_t(block.size()), total - sent);
            if (!line.write(block.constData(), n))
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
struct Latency
{
    double p50 = 0;
    double p99 = 0;
};

template <typename Side>
Latency measureLatency(int sentences)
{
    Line line;
    UdpSink sink(true);
    Side side(line, sink.port);
    std::vector<Clock::time_point> writes { size_t(sentences) };
    std::atomic<bool> written { false };
    std::thread writer([&] {
        auto next = Clock::now();
        for (int i = 0; i < sentences; ++i) {
            std::this_thread::sleep_until(next);
            const QByteArray s = sentence80(i);
            writes[size_t(i)] = Clock::now();
            line.write(s.constData(), size_t(s.size()));
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
                                                                   - writes[size_t(i)]).count());
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
template <typename Side>
double measureCpuPercent(double seconds)
{
    Line line;
    UdpSink sink;
    Side side(line, sink.port);
    std::atomic<bool> written { false };
    const int sentences = int(seconds * 100);
    std::thread writer([&] {
        auto next = Clock::now();
        for (int i = 0; i < sentences; ++i) {
            std::this_thread::sleep_until(next);
            const QByteArray s = sentence80(i);
            line.write(s.constData(), size_t(s.size()));
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

// Memory: resident size while a long stream goes through the window.
struct Memory
{
    long halfwayKiB = 0;
    long endKiB = 0;
};

Memory measureMemory(size_t total)
{
    Line line;
    UdpSink sink;
    TavrikForwarder side(line, sink.port);
    const QByteArray block = ggaBlock(64 * 1024);
    std::atomic<size_t> sent { 0 };
    std::thread writer([&] {
        while (sent < total) {
            if (!line.write(block.constData(), size_t(block.size())))
                break;
            sent += size_t(block.size());
        }
    });
    Memory result;
    spinUntil([&] { return sent >= total / 2; }, 600);
    result.halfwayKiB = residentKiB();
    spinUntil([&] { return sent >= total; }, 600);
    writer.join();
    waitForArrivals(sink, (long long)sent, true);
    result.endKiB = residentKiB();
    sink.finish();
    return result;
}

// The cost of showing a paragraph in a view that holds its full 5000, one
// paragraph a millisecond: the time spent appending and in the event loop
// passes that follow (where the queued paragraphs are laid out and painted),
// per paragraph, and the longest of those.
struct AppendCost
{
    double meanMs = 0;
    double worstMs = 0;
};

AppendCost measureAppendCost(int appends)
{
    Line line;
    TavrikForwarder side(line, 9);
    auto *view = side.widget().findChild<QTextEdit *>("textEdit_Servce");
    auto *log = view->findChild<ParagraphLog *>();
    for (int i = 0; i < ParagraphLog::maxParagraphs; ++i)
        log->append(QString::fromStdString(Nmea::ggaSentence(i, i)).trimmed());
    log->flush();
    QCoreApplication::processEvents();
    AppendCost result;
    double total = 0;
    for (int i = 0; i < appends; ++i) {
        const QString text = QString::fromStdString(Nmea::ggaSentence(i, i)).trimmed();
        const auto start = Clock::now();
        log->append(text);
        QCoreApplication::processEvents();
        const double ms = secondsSince(start) * 1000;
        total += ms;
        result.worstMs = std::max(result.worstMs, ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    result.meanMs = total / appends;
    return result;
}

// TCP fan-out: the server role with many clients, one of which stops reading.
struct FanOut
{
    int clients = 0;
    int complete = 0;
    long long sent = 0;
    bool stalledDropped = false;
    double droppedAfterMB = 0;
};

FanOut measureFanOut(int clientCount, double seconds, int bytesPerSecond)
{
    Line line;
    SystemProbe probe;
    const QString port = line.slavePath();
    probe.serialPortNames = [port] { return QStringList { port }; };
    probe.localAddresses = [] { return QList<QHostAddress>(); };
    Widget window(probe);
    window.show();
    window.findChild<QComboBox *>("cBoxNetType")->setCurrentIndex(1);
    window.findChild<QLineEdit *>("lEditIpAddr")->setText("127.0.0.1");
    window.findChild<QLineEdit *>("lEditIpPort")->setText("0");
    window.findChild<QPushButton *>("pBtnNetCnnt")->click();
    window.findChild<QPushButton *>("ConnectBtn")->click();
    auto *server = window.findChild<TcpServer *>();
    FanOut result;
    if (!server)
        return result;

    std::atomic<long long> sent { 0 };
    long long sentAtDrop = -1;
    QObject::connect(server, &TcpServer::removeClientLink, server,
                     [&] { sentAtDrop = sent.load(); });

    // Client 0 stalls: a small receive buffer and it never reads.
    std::vector<int> sockets;
    for (int i = 0; i < clientCount; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (i == 0) {
            const int small = 4096;
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        }
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(server->serverPort());
        ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        sockets.push_back(fd);
        // Accepting needs the event loop; the listen backlog is short.
        spinUntil([&] { return server->clientCount() == i + 1; }, 5);
    }

    std::vector<long long> received(size_t(clientCount), 0);
    std::atomic<bool> stop { false };
    std::thread readers([&] {
        std::vector<char> buffer(65536);
        while (!stop) {
            std::vector<pollfd> fds;
            for (int i = 1; i < clientCount; ++i)
                fds.push_back({ sockets[size_t(i)], POLLIN, 0 });
            if (poll(fds.data(), fds.size(), 20) <= 0)
                continue;
            for (size_t k = 0; k < fds.size(); ++k) {
                if (fds[k].revents & POLLIN) {
                    const ssize_t n = recv(fds[k].fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                    if (n > 0)
                        received[k + 1] += n;
                }
            }
        }
    });

    const QByteArray block = ggaBlock(size_t(bytesPerSecond / 100));
    std::atomic<bool> written { false };
    std::thread writer([&] {
        auto next = Clock::now();
        for (int tick = 0; tick < int(seconds * 100); ++tick) {
            std::this_thread::sleep_until(next);
            line.write(block.constData(), size_t(block.size()));
            sent += block.size();
            next += std::chrono::milliseconds(10);
        }
        written = true;
    });
    spinUntil([&] { return written.load(); }, seconds + 60);
    writer.join();
    // Let the last bytes reach the readers.
    spinUntil([&] {
        for (int i = 1; i < clientCount; ++i) {
            if (received[size_t(i)] < sent)
                return false;
        }
        return true;
    }, 10);
    stop = true;
    readers.join();

    result.clients = clientCount;
    result.sent = sent;
    for (int i = 1; i < clientCount; ++i)
        result.complete += received[size_t(i)] == sent ? 1 : 0;
    result.stalledDropped = sentAtDrop >= 0;
    result.droppedAfterMB = double(sentAtDrop) / 1e6;
    for (int fd : sockets)
        ::close(fd);
    return result;
}

// Start-up: from starting the process to the window being shown, with three
// ports listed. The child reports when its window is exposed.
int startupChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QStringList ports;
    for (int i = 2; i < argc; ++i)
        ports.append(QString::fromLocal8Bit(argv[i]));
    SystemProbe probe = SystemProbe::live();
    probe.serialPortNames = [ports] { return ports; };
    Widget window(probe);
    window.show();
    window.setWindowTitle(QStringLiteral("Tavrik"));
    while (!(window.windowHandle() && window.windowHandle()->isExposed()))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    std::printf("%lld %d\n", (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec,
                window.findChild<QComboBox *>("ComBC")->count());
    return 0;
}

double measureStartup(const char *self, int runs, int *listed)
{
    Line a, b, c;
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QProcess child;
        timespec ts {};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        const long long started = (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
        child.start(self, { "--startup-child", a.slavePath(), b.slavePath(), c.slavePath() });
        child.waitForFinished(10000);
        const QList<QByteArray> out = child.readAllStandardOutput().trimmed().split(' ');
        if (out.size() != 2)
            continue;
        times.push_back(double(out[0].toLongLong() - started) / 1e6);
        *listed = out[1].toInt();
    }
    std::sort(times.begin(), times.end());
    return times.empty() ? -1 : times[times.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--startup-child") == 0)
        return startupChild(argc, argv);

    Options options;
    QString only;
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--quick") == 0)
            options.quick = true;
        else if (qstrcmp(argv[i], "--only") == 0 && i + 1 < argc)
            only = QString::fromLocal8Bit(argv[++i]);
    }
    QApplication app(argc, argv);
    // The window's trace lines would drown the figures.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const double scale = options.scale();
    std::vector<Row> rows;
    // --only NAME measures one figure, for profiling it.
    auto wanted = [&only](const char *name) {
        if (!only.isEmpty() && only != QLatin1String(name))
            return false;
        std::fprintf(stderr, "measuring %s...\n", name);
        return true;
    };

    if (wanted("throughput")) {
        const size_t streamBytes = size_t(50e6 * scale);
        const Throughput ours = measureThroughput<TavrikForwarder>(streamBytes);
        const Throughput theirs = measureThroughput<SocatForwarder>(streamBytes);
        rows.push_back({ QStringLiteral("Forward throughput, display on (%1 MB)").arg(streamBytes / 1e6),
                         QStringLiteral("%1 MB/s, %2 lost, %3 datagrams (largest %4 B)")
                             .arg(fixed(ours.mbPerSecond)).arg(ours.lost).arg(ours.datagrams).arg(ours.largest),
                         QStringLiteral("%1 MB/s, %2 lost").arg(fixed(theirs.mbPerSecond)).arg(theirs.lost),
                         fixed(ours.mbPerSecond / theirs.mbPerSecond),
                         QStringLiteral("≥ 2 MB/s, 0 lost") });
    }

    if (wanted("latency")) {
        const int sentences = int(1000 * scale);
        const Latency ourDelay = measureLatency<TavrikForwarder>(sentences);
        const Latency theirDelay = measureLatency<SocatForwarder>(sentences);
        rows.push_back({ QStringLiteral("Added latency p50 / p99 (%1 sentences)").arg(sentences),
                         QStringLiteral("%1 / %2 ms").arg(fixed(ourDelay.p50, 3), fixed(ourDelay.p99, 3)),
                         QStringLiteral("%1 / %2 ms").arg(fixed(theirDelay.p50, 3), fixed(theirDelay.p99, 3)),
                         QStringLiteral("%1 / %2").arg(fixed(ourDelay.p50 / theirDelay.p50),
                                                       fixed(ourDelay.p99 / theirDelay.p99)),
                         QStringLiteral("p50 within 0.3 ms, p99 ≤ 2×") });
    }

    if (wanted("cpu")) {
        const double cpuSeconds = 20 * scale;
        const double ourCpu = measureCpuPercent<TavrikForwarder>(cpuSeconds);
        const double theirCpu = measureCpuPercent<SocatForwarder>(cpuSeconds);
        rows.push_back({ QStringLiteral("CPU at 100 sentences/s (%1 s)").arg(cpuSeconds),
                         QStringLiteral("%1 %").arg(fixed(ourCpu)), QStringLiteral("%1 %").arg(fixed(theirCpu)),
                         theirCpu > 0 ? fixed(ourCpu / theirCpu) : QStringLiteral("-"),
                         QStringLiteral("≤ 5 % of a core") });
    }

    if (wanted("memory")) {
        const size_t memoryBytes = size_t(200e6 * scale);
        const Memory memory = measureMemory(memoryBytes);
        rows.push_back({ QStringLiteral("RSS after %1 MB streamed").arg(memoryBytes / 1e6),
                         QStringLiteral("%1 MB (halfway %2 MB)")
                             .arg(fixed(memory.endKiB / 1024.0, 1), fixed(memory.halfwayKiB / 1024.0, 1)),
                         QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("≤ 150 MB, flat") });
    }

    if (wanted("append")) {
        const AppendCost append = measureAppendCost(int(5000 * scale));
        rows.push_back({ QStringLiteral("View append at 5000 paragraphs, mean / worst"),
                         QStringLiteral("%1 / %2 ms").arg(fixed(append.meanMs, 3), fixed(append.worstMs, 3)),
                         QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("mean ≤ 0.3 ms") });
    }

    if (wanted("fanout")) {
        const FanOut fan = measureFanOut(options.quick ? 20 : 100, 10 * scale, 1000000);
        rows.push_back({ QStringLiteral("TCP fan-out, %1 clients, 1 MB/s, %2 s").arg(fan.clients).arg(10 * scale),
                         QStringLiteral("%1 of %2 readers got all %3 MB; stalled client %4")
                             .arg(fan.complete).arg(fan.clients - 1).arg(fixed(fan.sent / 1e6, 1))
                             .arg(fan.stalledDropped ? QStringLiteral("dropped after %1 MB").arg(fixed(fan.droppedAfterMB, 1))
                                                     : QStringLiteral("not dropped")),
                         QStringLiteral("-"), QStringLiteral("-"),
                         QStringLiteral("all readers complete; stalled one dropped") });
    }

    if (wanted("startup")) {
        int listed = 0;
        const double startup = measureStartup(argv[0], options.quick ? 3 : 9, &listed);
        rows.push_back({ QStringLiteral("Start-up to window shown (%1 ports listed)").arg(listed),
                         QStringLiteral("%1 ms (median)").arg(fixed(startup, 1)), QStringLiteral("-"),
                         QStringLiteral("-"), QStringLiteral("≤ 500 ms") });
    }

    std::printf("| Figure | Tavrik | socat | ratio | Target |\n|---|---|---|---|---|\n");
    for (const Row &row : rows)
        std::printf("| %s | %s | %s | %s | %s |\n", qPrintable(row.figure), qPrintable(row.tavrik),
                    qPrintable(row.socat), qPrintable(row.ratio), qPrintable(row.target));
    return 0;
}

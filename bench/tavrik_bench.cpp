// Measures the bridge beside socat doing the same job, and prints a table.
//
//   tavrik_bench [--quick]
//
// The window is the real one, driven through its controls, with a
// pseudo-terminal as the receiver's line and loopback sockets as peers.

#include "endurance.h"
#include "gga.h"
#include "harness.h"
#include "paragraphlog.h"
#include "tcpserver.h"

#include <QApplication>
#include <QComboBox>
#include <QLoggingCategory>
#include <QTextEdit>
#include <QWindow>

#include <algorithm>
#include <cstdio>

namespace {

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
    window.findChild<QComboBox *>("cBoxNetType")->setCurrentIndex(Widget::TcpServerRole);
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

    if (wanted("growth")) {
        const double paceSeconds = 1200 * scale;
        const MemoryGrowth pace = measureGrowthAtPace(paceSeconds);
        const double fullSeconds = 60 * scale;
        const MemoryGrowth full = measureGrowthAtFullRate(fullSeconds);
        rows.push_back({ QStringLiteral("RSS growth once the views are full: %1 s at 100 sentences/s; %2 s at full rate")
                             .arg(paceSeconds).arg(fullSeconds),
                         QStringLiteral("%1 MiB (%2 → %3 MB); %4 MiB (%5 → %6 MB)")
                             .arg(fixed(pace.growthMiB()), fixed(pace.baselineKiB / 1024.0, 1), fixed(pace.endKiB / 1024.0, 1))
                             .arg(fixed(full.growthMiB()), fixed(full.baselineKiB / 1024.0, 1), fixed(full.endKiB / 1024.0, 1)),
                         QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("≤ 2 MiB each") });
    }

    if (wanted("stall")) {
        const double streamSeconds = options.quick ? 2 : 10;
        const std::pair<StallRole, const char *> roles[] = { { StallRole::Udp, "UDP" },
                                                             { StallRole::TcpServer, "TCP server" } };
        const std::pair<HostileInput, QString> inputs[] = {
            { HostileInput::Block64KiB, QStringLiteral("64 KiB block") },
            { HostileInput::Block1MiB, QStringLiteral("1 MiB block") },
            { HostileInput::Stream400kBps, QStringLiteral("400 kB/s for %1 s").arg(streamSeconds) },
        };
        for (const auto &role : roles) {
            QStringList parts;
            for (const auto &input : inputs) {
                const Stall stall = measureStall(role.first, input.first, streamSeconds);
                parts << QStringLiteral("%1: %2 / %3 ms (%4 B to the device)")
                             .arg(input.second, fixed(stall.largestGapMs, 1), fixed(stall.longestPassMs, 1))
                             .arg(stall.hostileBytes);
                // The unshortened views of old builds take minutes here: show progress.
                std::fprintf(stderr, "  %s, %s\n", role.second, qPrintable(parts.last()));
            }
            rows.push_back({ QStringLiteral("Worst forward stall under hostile display input, %1 role: "
                                            "largest gap in a 100 sentences/s stream / longest event-loop pass")
                                 .arg(QLatin1String(role.second)),
                             parts.join(QStringLiteral("; ")), QStringLiteral("-"), QStringLiteral("-"),
                             QStringLiteral("≤ 50 ms worst case") });
        }
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

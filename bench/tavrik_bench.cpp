// Measures the bridge beside socat doing the same job, and prints a table.
//
//   tavrik_bench [--quick] [--only NAME]
//
// The window is the real one, driven through its controls, with a
// pseudo-terminal as the receiver's line and loopback sockets as peers.

#include "devicefigures.h"
#include "endurance.h"
#include "forwarding.h"
#include "harness.h"
#include "windowfigures.h"

#include <QApplication>
#include <QLoggingCategory>

#include <algorithm>
#include <cstdio>
#include <vector>

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

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--startup-child") == 0)
        return startupChild(argc, argv);
    if (argc > 2 && qstrcmp(argv[1], "--display-growth-child") == 0)
        return displayGrowthChild(argc, argv);

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
        rows.push_back(
                { QStringLiteral("Forward throughput, display on (%1 MB)").arg(streamBytes / 1e6),
                  QStringLiteral("%1 MB/s, %2 lost, %3 datagrams (largest %4 B)")
                          .arg(fixed(ours.mbPerSecond))
                          .arg(ours.lost)
                          .arg(ours.datagrams)
                          .arg(ours.largest),
                  QStringLiteral("%1 MB/s, %2 lost")
                          .arg(fixed(theirs.mbPerSecond))
                          .arg(theirs.lost),
                  fixed(ours.mbPerSecond / theirs.mbPerSecond),
                  QStringLiteral("≥ 2 MB/s, 0 lost") });
    }

    if (wanted("latency")) {
        const int sentences = int(1000 * scale);
        const Latency ourDelay = measureLatency<TavrikForwarder>(sentences);
        const Latency theirDelay = measureLatency<SocatForwarder>(sentences);
        rows.push_back(
                { QStringLiteral("Added latency p50 / p99 (%1 sentences)").arg(sentences),
                  QStringLiteral("%1 / %2 ms").arg(fixed(ourDelay.p50, 3), fixed(ourDelay.p99, 3)),
                  QStringLiteral("%1 / %2 ms")
                          .arg(fixed(theirDelay.p50, 3), fixed(theirDelay.p99, 3)),
                  QStringLiteral("%1 / %2").arg(fixed(ourDelay.p50 / theirDelay.p50),
                                                fixed(ourDelay.p99 / theirDelay.p99)),
                  QStringLiteral("p50 within 0.3 ms, p99 ≤ 2×") });
    }

    if (wanted("cpu")) {
        const double cpuSeconds = 20 * scale;
        const double ourCpu = measureCpuPercent<TavrikForwarder>(cpuSeconds);
        const double theirCpu = measureCpuPercent<SocatForwarder>(cpuSeconds);
        rows.push_back({ QStringLiteral("CPU at 100 sentences/s (%1 s)").arg(cpuSeconds),
                         QStringLiteral("%1 %").arg(fixed(ourCpu)),
                         QStringLiteral("%1 %").arg(fixed(theirCpu)),
                         theirCpu > 0 ? fixed(ourCpu / theirCpu) : QStringLiteral("-"),
                         QStringLiteral("≤ 5 % of a core") });
    }

    if (wanted("memory")) {
        const size_t memoryBytes = size_t(200e6 * scale);
        const Memory memory = measureMemory(memoryBytes);
        rows.push_back({ QStringLiteral("RSS after %1 MB streamed").arg(memoryBytes / 1e6),
                         QStringLiteral("%1 MB (halfway %2 MB)")
                                 .arg(fixed(memory.endKiB / 1024.0, 1),
                                      fixed(memory.halfwayKiB / 1024.0, 1)),
                         QStringLiteral("-"), QStringLiteral("-"),
                         QStringLiteral("≤ 150 MB, flat") });
    }

    if (wanted("growth")) {
        const double paceSeconds = 1200 * scale;
        const MemoryGrowth pace = measureGrowthAtPace(paceSeconds);
        const double fullSeconds = 60 * scale;
        const MemoryGrowth full = measureGrowthAtFullRate(fullSeconds);
        rows.push_back({ QStringLiteral("RSS growth once the views are full: %1 s at 100 "
                                        "sentences/s; %2 s at full rate")
                                 .arg(paceSeconds)
                                 .arg(fullSeconds),
                         QStringLiteral("%1 MiB (%2 → %3 MB); %4 MiB (%5 → %6 MB)")
                                 .arg(fixed(pace.growthMiB()), fixed(pace.baselineKiB / 1024.0, 1),
                                      fixed(pace.endKiB / 1024.0, 1))
                                 .arg(fixed(full.growthMiB()), fixed(full.baselineKiB / 1024.0, 1),
                                      fixed(full.endKiB / 1024.0, 1)),
                         QStringLiteral("-"), QStringLiteral("-"),
                         QStringLiteral("≤ 2 MiB each") });
    }

    if (wanted("stall")) {
        const double streamSeconds = options.quick ? 2 : 10;
        const std::pair<StallRole, const char *> roles[] = {
            { StallRole::Udp, "UDP" }, { StallRole::TcpServer, "TCP server" }
        };
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
                                 .arg(input.second, fixed(stall.largestGapMs, 1),
                                      fixed(stall.longestPassMs, 1))
                                 .arg(stall.hostileBytes);
                // The unshortened views of old builds take minutes here: show progress.
                std::fprintf(stderr, "  %s, %s\n", role.second, qPrintable(parts.last()));
            }
            rows.push_back(
                    { QStringLiteral(
                              "Worst forward stall under hostile display input, %1 role: "
                              "largest gap in a 100 sentences/s stream / longest event-loop pass")
                              .arg(QLatin1String(role.second)),
                      parts.join(QStringLiteral("; ")), QStringLiteral("-"), QStringLiteral("-"),
                      QStringLiteral("≤ 50 ms worst case") });
        }
    }

    if (wanted("append")) {
        const AppendCost append = measureAppendCost(int(5000 * scale));
        rows.push_back({ QStringLiteral("View append at 5000 paragraphs, mean / worst"),
                         QStringLiteral("%1 / %2 ms")
                                 .arg(fixed(append.meanMs, 3), fixed(append.worstMs, 3)),
                         QStringLiteral("-"), QStringLiteral("-"),
                         QStringLiteral("mean ≤ 0.3 ms") });
    }

    if (wanted("fanout")) {
        // The quick run streams faster, so that it too sends more than the
        // 4 MiB a stalled client may keep unsent, and can show the drop.
        const double seconds = 10 * scale;
        const int bytesPerSecond = options.quick ? 10000000 : 1000000;
        const FanOut fan = measureFanOut(options.quick ? 20 : 100, seconds, bytesPerSecond);
        rows.push_back(
                { QStringLiteral("TCP fan-out, %1 clients, %2 MB/s, %3 s")
                          .arg(fan.clients)
                          .arg(bytesPerSecond / 1e6)
                          .arg(seconds),
                  QStringLiteral("%1 of %2 readers got all %3 MB; stalled client %4")
                          .arg(fan.complete)
                          .arg(fan.clients - 1)
                          .arg(fixed(fan.sent / 1e6, 1))
                          .arg(fan.stalledDropped ? QStringLiteral("dropped after %1 MB")
                                                            .arg(fixed(fan.droppedAfterMB, 1))
                                                  : QStringLiteral("not dropped")),
                  QStringLiteral("-"), QStringLiteral("-"),
                  QStringLiteral("all readers complete; stalled one dropped") });
    }

    if (wanted("slowdevice")) {
        const double seconds = 40 * scale;
        QStringList parts;
        for (int baud :
             options.quick ? std::vector<int>{ 9600 } : std::vector<int>{ 1200, 9600, 115200 }) {
            const SlowDevice slow = measureSlowDevice(baud, std::max(seconds, 10.0));
            parts << QStringLiteral("%1 baud: longest wait %2 s (%3 KiB queued), %4 blocks "
                                    "dropped, %5 KiB read")
                             .arg(baud)
                             .arg(fixed(slow.longestWaitSeconds, 1),
                                  fixed(slow.largestQueue / 1024.0, 1))
                             .arg(slow.dropped)
                             .arg(fixed(slow.deviceBytes / 1024.0, 1));
            std::fprintf(stderr, "  %s\n", qPrintable(parts.last()));
        }
        rows.push_back(
                { QStringLiteral(
                          "Device reading at its line rate while a TCP client pushes 5 MiB (%1 s): "
                          "longest wait towards it in line time, blocks dropped for it")
                          .arg(std::max(seconds, 10.0)),
                  parts.join(QStringLiteral("; ")), QStringLiteral("-"), QStringLiteral("-"),
                  QStringLiteral("wait ≤ about 4 s, 0 dropped") });
    }

    if (wanted("clients")) {
        const double seconds = 20 * scale;
        QStringList parts;
        for (int clients : { 100, 1000 })
            parts << QStringLiteral("%1 clients: %2 %")
                             .arg(clients)
                             .arg(fixed(measureManyClientsCpu(clients, seconds)));
        rows.push_back({ QStringLiteral("CPU of the window, TCP server role, each client sending "
                                        "one GGA sentence a second (%1 s)")
                                 .arg(seconds),
                         parts.join(QStringLiteral("; ")), QStringLiteral("-"), QStringLiteral("-"),
                         QStringLiteral("grows with the client count, not its square") });
    }

    if (wanted("display")) {
        // The quick run only shows that the figure works.
        const double seconds = options.quick ? 60 : 3600;
        QString skipped;
        const MemoryGrowth growth = measureDisplayGrowth(argv[0], seconds, &skipped);
        rows.push_back({ QStringLiteral("RSS growth once the views are full, xcb platform under "
                                        "Xvfb with the CJK font: "
                                        "%1 s of random bytes at 2 KB/s beside 100 sentences/s")
                                 .arg(seconds),
                         skipped.isEmpty() ? QStringLiteral("%1 MiB (%2 → %3 MB)")
                                                     .arg(fixed(growth.growthMiB()),
                                                          fixed(growth.baselineKiB / 1024.0, 1),
                                                          fixed(growth.endKiB / 1024.0, 1))
                                           : QStringLiteral("skipped: ") + skipped,
                         QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("≤ 2 MiB") });
    }

    if (wanted("startup")) {
        const Startup startup = measureStartup(argv[0], options.quick ? 3 : 9);
        rows.push_back(
                { QStringLiteral(
                          "Start-up with 4 ports, one whose open blocks for 10 s: window shown / "
                          "%1 ports listed / program ended")
                          .arg(startup.listed),
                  QStringLiteral("%1 / %2 / %3 ms (median)")
                          .arg(fixed(startup.windowShownMs, 1), fixed(startup.portsListedMs, 1),
                               fixed(startup.endedMs, 1)),
                  QStringLiteral("-"), QStringLiteral("-"),
                  QStringLiteral(
                          "shown ≤ 500 ms, listed ≤ 2.5 s, ended without waiting for the port") });
    }

    std::printf("| Figure | Tavrik | socat | ratio | Target |\n|---|---|---|---|---|\n");
    for (const Row &row : rows)
        std::printf("| %s | %s | %s | %s | %s |\n", qPrintable(row.figure), qPrintable(row.tavrik),
                    qPrintable(row.socat), qPrintable(row.ratio), qPrintable(row.target));
    return 0;
}

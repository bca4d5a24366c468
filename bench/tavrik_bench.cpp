// Measures the bridge, beside socat doing the same job where it can, and
// prints a table: each figure with its target and whether this run met it.
//
//   tavrik_bench [--quick] [--only NAME]
//
// The window is the real one, driven through its controls, with a
// pseudo-terminal as the receiver's line and loopback sockets as peers.

#include "devicebackpressure.h"
#include "devicefigures.h"
#include "endurance.h"
#include "forwarding.h"
#include "harness.h"
#include "windowfigures.h"

#include <QApplication>
#include <QDateTime>
#include <QLoggingCategory>
#include <QSysInfo>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// What a pseudo-terminal holds towards its master without telling.
constexpr double ptyBufferBytes = 16 * 1024;

struct Row
{
    QString figure;
    QString tavrik;
    QString target;
    bool met = false;
    QString socat = QStringLiteral("-");
    QString ratio = QStringLiteral("-");
    QString verdict() const { return met ? QStringLiteral("yes") : QStringLiteral("**no**"); }
};

QString fixed(double value, int decimals = 2)
{
    return QString::number(value, 'f', decimals);
}

QString mb(long kib)
{
    return fixed(kib / 1024.0, 1);
}

// What the figures were measured on, for the line above the table.
QString machine()
{
    QFile memInfo(QStringLiteral("/proc/meminfo"));
    memInfo.open(QIODevice::ReadOnly);
    const QByteArray total = memInfo.readLine().simplified().split(' ').value(1);
    return QStringLiteral("%1 cores, %2 GiB, %3, Qt %4, %5 platform")
            .arg(QThread::idealThreadCount())
            .arg(qRound(total.toDouble() / 1024 / 1024))
            .arg(QSysInfo::prettyProductName(), QString::fromLatin1(qVersion()),
                 QGuiApplication::platformName());
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
    const QString started = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
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
        const double upload = measureUploadThroughput((long long)streamBytes);
        Row row{ QStringLiteral("Forward throughput, display on (%1 MB): serial to UDP; TCP "
                                "client to the device")
                         .arg(streamBytes / 1e6),
                 QStringLiteral("%1 MB/s, %2 lost, %3 datagrams (largest %4 B); %5 MB/s")
                         .arg(fixed(ours.mbPerSecond))
                         .arg(ours.lost)
                         .arg(ours.datagrams)
                         .arg(ours.largest)
                         .arg(fixed(upload)),
                 QStringLiteral("≥ 2 MB/s each, 0 lost"),
                 ours.mbPerSecond >= 2 && ours.lost == 0 && upload >= 2 };
        row.socat =
                QStringLiteral("%1 MB/s, %2 lost").arg(fixed(theirs.mbPerSecond)).arg(theirs.lost);
        row.ratio = fixed(ours.mbPerSecond / theirs.mbPerSecond);
        rows.push_back(row);
    }

    if (wanted("latency")) {
        const int sentences = int(1000 * scale);
        const Latency ours = measureLatency<TavrikForwarder>(sentences);
        const Latency theirs = measureLatency<SocatForwarder>(sentences);
        Row row{ QStringLiteral("Added latency p50 / p99 (%1 sentences)").arg(sentences),
                 QStringLiteral("%1 / %2 ms").arg(fixed(ours.p50, 3), fixed(ours.p99, 3)),
                 QStringLiteral("p50 ≤ socat's + 0.3 ms, p99 ≤ 2 × socat's"),
                 ours.p50 <= theirs.p50 + 0.3 && ours.p99 <= 2 * theirs.p99 };
        row.socat = QStringLiteral("%1 / %2 ms").arg(fixed(theirs.p50, 3), fixed(theirs.p99, 3));
        row.ratio = QStringLiteral("%1 / %2").arg(fixed(ours.p50 / theirs.p50),
                                                  fixed(ours.p99 / theirs.p99));
        rows.push_back(row);
    }

    if (wanted("cpu")) {
        const double seconds = 20 * scale;
        const double ours = measureCpuPercent<TavrikForwarder>(seconds);
        const double theirs = measureCpuPercent<SocatForwarder>(seconds);
        Row row{ QStringLiteral("CPU at 100 sentences/s (%1 s)").arg(seconds),
                 QStringLiteral("%1 %").arg(fixed(ours)), QStringLiteral("≤ 5 % of a core"),
                 ours <= 5 };
        row.socat = QStringLiteral("%1 %").arg(fixed(theirs));
        row.ratio = theirs > 0 ? fixed(ours / theirs) : QStringLiteral("-");
        rows.push_back(row);
    }

    if (wanted("growth")) {
        const double paceSeconds = 600 * scale;
        const MemoryGrowth pace = measureGrowthAtPace(paceSeconds);
        const double fullSeconds = 60 * scale;
        const MemoryGrowth full = measureGrowthAtFullRate(fullSeconds);
        rows.push_back(
                { QStringLiteral("RSS once the views are full, and its growth: %1 s at 100 "
                                 "sentences/s; %2 s at full rate")
                          .arg(paceSeconds)
                          .arg(fullSeconds),
                  QStringLiteral("%1 → %2 MB (+%3 MiB); %4 → %5 MB (+%6 MiB)")
                          .arg(mb(pace.baselineKiB), mb(pace.endKiB), fixed(pace.growthMiB()),
                               mb(full.baselineKiB), mb(full.endKiB), fixed(full.growthMiB())),
                  QStringLiteral("≤ 150 MB, growth ≤ 2 MiB each"),
                  std::max(pace.endKiB, full.endKiB) <= 150 * 1024
                          && std::max(pace.growthMiB(), full.growthMiB()) <= 2 });
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
            double worst = 0;
            for (const auto &input : inputs) {
                const Stall stall = measureStall(role.first, input.first, streamSeconds);
                worst = std::max({ worst, stall.largestGapMs, stall.longestPassMs });
                parts << QStringLiteral("%1: %2 / %3 ms (%4 B to the device)")
                                 .arg(input.second, fixed(stall.largestGapMs, 1),
                                      fixed(stall.longestPassMs, 1))
                                 .arg(stall.hostileBytes);
                std::fprintf(stderr, "  %s, %s\n", role.second, qPrintable(parts.last()));
            }
            rows.push_back({ QStringLiteral("Forward stall under text with no break, %1 role: "
                                            "largest gap in a 100 sentences/s stream / longest "
                                            "event-loop pass")
                                     .arg(QLatin1String(role.second)),
                             parts.join(QStringLiteral("; ")), QStringLiteral("≤ 50 ms worst case"),
                             worst <= 50 });
        }
    }

    if (wanted("append")) {
        const AppendCost append = measureAppendCost(int(5000 * scale));
        rows.push_back({ QStringLiteral("View append at 5000 paragraphs, mean / worst"),
                         QStringLiteral("%1 / %2 ms")
                                 .arg(fixed(append.meanMs, 3), fixed(append.worstMs, 3)),
                         QStringLiteral("mean ≤ 0.3 ms"), append.meanMs <= 0.3 });
    }

    if (wanted("fanout")) {
        // The quick run streams faster, so that it too sends more than the
        // 4 MiB a stalled client may keep unsent, and can show the drop.
        const double seconds = 10 * scale;
        const int bytesPerSecond = options.quick ? 10000000 : 1000000;
        const FanOut fan = measureFanOut(options.quick ? 20 : 100, seconds, bytesPerSecond);
        rows.push_back(
                { QStringLiteral("TCP fan-out, %1 clients, %2 MB/s, %3 s, one client not reading")
                          .arg(fan.clients)
                          .arg(bytesPerSecond / 1e6)
                          .arg(seconds),
                  QStringLiteral("%1 of %2 readers got all %3 MB; the other %4")
                          .arg(fan.complete)
                          .arg(fan.clients - 1)
                          .arg(fixed(fan.sent / 1e6, 1))
                          .arg(fan.stalledDropped ? QStringLiteral("dropped after %1 MB")
                                                            .arg(fixed(fan.droppedAfterMB, 1))
                                                  : QStringLiteral("not dropped")),
                  QStringLiteral("every reader complete, the other dropped"),
                  fan.complete == fan.clients - 1 && fan.stalledDropped });
    }

    if (wanted("slowdevice")) {
        const double seconds = std::max(40 * scale, 10.0);
        QStringList parts;
        bool met = true;
        // At 1200 baud the pseudo-terminal's own buffer alone is over two
        // minutes of line time, longer than a run.
        for (int baud :
             options.quick ? std::vector<int>{ 9600 } : std::vector<int>{ 9600, 115200 }) {
            const SlowDevice slow = measureSlowDevice(baud, seconds);
            const double bytesPerSecond = baud / 10.0;
            // What may go before the sentence: what waits in the tool (the
            // hold's bound and a piece on top), the pusher's piece in the
            // turn before the sentence's, and what the pseudo-terminal holds
            // uncounted; and 2 s for the device's 50 ms reads and the
            // window's looks at it.
            const double bound = std::max<double>(DeviceBackPressure::holdSeconds * bytesPerSecond,
                                                  DeviceBackPressure::minHoldBytes);
            const double allowed = (3 * bound + ptyBufferBytes) / bytesPerSecond + 2;
            met = met && slow.dropped == 0 && slow.arrived > 0 && slow.longestAgeSeconds <= allowed;
            parts << QStringLiteral("%1 baud: %2 s (allowed %3 s), %4 of %5 arrived, %6 dropped")
                             .arg(baud)
                             .arg(fixed(slow.longestAgeSeconds, 1), fixed(allowed, 1))
                             .arg(slow.arrived)
                             .arg(slow.sent)
                             .arg(slow.dropped);
            std::fprintf(stderr, "  %s\n", qPrintable(parts.last()));
        }
        rows.push_back({ QStringLiteral("Device reading at its line rate while a TCP client "
                                        "pushes 5 MiB and another sends a marked sentence a "
                                        "second (%1 s): oldest sentence at the device; blocks "
                                        "dropped")
                                 .arg(seconds),
                         parts.join(QStringLiteral("; ")),
                         QStringLiteral("age ≤ three times the hold's bound (2 s of line time, "
                                        "at least 2 KiB) and the pseudo-terminal's 16 KiB, in "
                                        "line time, + 2 s; 0 dropped"),
                         met });
    }

    if (wanted("heldclients")) {
        const double seconds = 25 * scale + 5;
        const MemoryGrowth growth = measureHeldClientsGrowth(200, 9600, seconds);
        rows.push_back({ QStringLiteral("RSS growth, TCP server role, 200 clients each pushing 2 "
                                        "MiB towards a device reading at 9600 baud (%1 s)")
                                 .arg(seconds),
                         QStringLiteral("%1 → %2 MB (+%3 MiB)")
                                 .arg(mb(growth.baselineKiB), mb(growth.endKiB),
                                      fixed(growth.growthMiB())),
                         QStringLiteral("≤ 64 MiB"),
                         growth.endKiB > 0 && growth.growthMiB() <= 64 });
    }

    if (wanted("leaver")) {
        // The leaver's turn may come before the message's: a piece of the
        // bound at 9600 baud, and the device's 50 ms reads and the turns'
        // timing on top.
        const double baud = 9600;
        const double pieceSeconds = DeviceBackPressure::minHoldBytes / (baud / 10) + 0.5;
        const double control = measureAgeAfterLeaver(int(baud), 0);
        const double leaver = measureAgeAfterLeaver(int(baud), 900 * 1024);
        const auto age = [](double seconds) {
            return seconds < 0 ? QStringLiteral("not within %1 s").arg(ageCapSeconds)
                               : QStringLiteral("%1 s").arg(fixed(seconds, 1));
        };
        rows.push_back({ QStringLiteral("Age at a 9600-baud device of a short message sent 3 s "
                                        "after a client left, while another's upload holds "
                                        "reading: the leaver sent 900 KiB / nothing"),
                         QStringLiteral("%1 / %2").arg(age(leaver), age(control)),
                         QStringLiteral("no longer than after a leaver that sent nothing, but "
                                        "for the leaver's one turn (%1 s)")
                                 .arg(fixed(pieceSeconds, 1)),
                         control >= 0 && leaver >= 0 && leaver <= control + pieceSeconds });
    }

    if (wanted("clients")) {
        const double seconds = 20 * scale;
        const double hundred = measureManyClientsCpu(100, seconds);
        const double thousand = measureManyClientsCpu(1000, seconds);
        rows.push_back({ QStringLiteral("CPU of the window, TCP server role, each client sending "
                                        "one GGA sentence a second (%1 s)")
                                 .arg(seconds),
                         QStringLiteral("100 clients: %1 %; 1000 clients: %2 %")
                                 .arg(fixed(hundred), fixed(thousand)),
                         QStringLiteral("1000 clients within one core"), thousand < 100 });
    }

    if (wanted("display")) {
        const double seconds = 600 * scale;
        QString skipped;
        const MemoryGrowth growth = measureDisplayGrowth(argv[0], seconds, &skipped);
        rows.push_back({ QStringLiteral("RSS growth once the views are full, xcb platform under "
                                        "Xvfb with the CJK font: %1 s of random bytes at 2 KB/s "
                                        "beside 100 sentences/s")
                                 .arg(seconds),
                         skipped.isEmpty() ? QStringLiteral("%1 → %2 MB (+%3 MiB)")
                                                     .arg(mb(growth.baselineKiB), mb(growth.endKiB),
                                                          fixed(growth.growthMiB()))
                                           : QStringLiteral("skipped: ") + skipped,
                         QStringLiteral("≤ 2 MiB"), skipped.isEmpty() && growth.growthMiB() <= 2 });
    }

    if (wanted("startup")) {
        const Startup startup = measureStartup(argv[0], options.quick ? 3 : 9);
        const QString late = startup.lateListedMs >= 1e9
                ? QStringLiteral("never")
                : QStringLiteral("%1 ms").arg(fixed(startup.lateListedMs, 1));
        rows.push_back(
                { QStringLiteral("Start-up with 5 ports, one whose open blocks for 10 s and "
                                 "one whose open answers after 3 s: window shown / %1 "
                                 "ports listed / the late one listed / program ended "
                                 "after the window closed (medians)")
                          .arg(startup.listed),
                  QStringLiteral("%1 / %2 ms / %3 / %4 ms")
                          .arg(fixed(startup.windowShownMs, 1), fixed(startup.portsListedMs, 1),
                               late, fixed(startup.endedMs, 1)),
                  QStringLiteral("≤ 500 ms / ≤ 2.5 s / ≤ 3.5 s / ≤ 500 ms"),
                  startup.windowShownMs >= 0 && startup.windowShownMs <= 500
                          && startup.portsListedMs >= 0 && startup.portsListedMs <= 2500
                          && startup.lateListedMs >= 0 && startup.lateListedMs <= 3500
                          && startup.endedMs >= 0 && startup.endedMs <= 500 });
    }

    std::printf("%s run of %s on %s\n\n", options.quick ? "Quick" : "Full", qPrintable(started),
                qPrintable(machine()));
    std::printf("| Figure | Tavrik | socat | ratio | Target | Met |\n"
                "|---|---|---|---|---|---|\n");
    for (const Row &row : rows)
        std::printf("| %s | %s | %s | %s | %s | %s |\n", qPrintable(row.figure),
                    qPrintable(row.tavrik), qPrintable(row.socat), qPrintable(row.ratio),
                    qPrintable(row.target), qPrintable(row.verdict()));
    return 0;
}

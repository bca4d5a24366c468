#include "windowfigures.h"

#include "nmea.h"
#include "harness.h"
#include "paragraphlog.h"
#include "tcpserver.h"
#include "windowrig.h"

#include <QApplication>
#include <QComboBox>
#include <QLoggingCategory>
#include <QTextEdit>
#include <QThread>
#include <QWindow>

#include <algorithm>
#include <cstdio>

#include <sys/socket.h>

// The cost of showing a paragraph in a view that holds its full 5000, one
// paragraph a millisecond: the time spent appending and in the event loop
// passes that follow (where the queued paragraphs are laid out and painted),
// per paragraph, and the longest of those.
AppendCost measureAppendCost(int appends)
{
    Line line;
    TavrikForwarder side(line, 9);
    auto *view = side.rig().serialView();
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
FanOut measureFanOut(int clientCount, double seconds, int bytesPerSecond)
{
    Line line;
    WindowRig rig({ line.portName() });
    rig.window.show();
    auto *server = rig.startServer();
    rig.click("ConnectBtn");
    FanOut result;
    if (!server)
        return result;

    std::atomic<long long> sent{ 0 };
    long long sentAtDrop = -1;
    QObject::connect(server, &TcpServer::removeClientLink, server,
                     [&] { sentAtDrop = sent.load(); });

    // Client 0 stalls: a small receive buffer and it never reads.
    std::vector<int> sockets;
    for (int i = 0; i < clientCount; ++i) {
        sockets.push_back(connectedSocket(server->serverPort(), Transport::Tcp, i == 0 ? 4096 : 0));
        // Accepting needs the event loop; the listen backlog is short.
        spinUntil([&] { return server->clientCount() == i + 1; }, 5);
    }

    // Counted by the reader thread, looked at by this one meanwhile.
    std::vector<std::atomic<long long>> received(static_cast<size_t>(clientCount));
    std::atomic<bool> stop{ false };
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
    std::atomic<bool> written{ false };
    std::thread writer([&] {
        auto next = Clock::now();
        for (int tick = 0; tick < int(seconds * 100); ++tick) {
            std::this_thread::sleep_until(next);
            line.feed(block.constData(), size_t(block.size()));
            sent += block.size();
            next += std::chrono::milliseconds(10);
        }
        written = true;
    });
    spinUntil([&] { return written.load(); }, seconds + 60);
    writer.join();
    // Let the last bytes reach the readers.
    spinUntil(
            [&] {
                for (int i = 1; i < clientCount; ++i) {
                    if (received[size_t(i)] < sent)
                        return false;
                }
                return true;
            },
            10);
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

// Start-up: from starting the process to the window being shown, to the
// ports being listed, and to a late port being listed, with three
// pseudo-terminals, a port whose open blocks for 10 s, as a Bluetooth port's
// does while it pages a device out of range, and one whose open answers
// after 3 s, as one's does while it pages a device in range. The child
// reports each moment, then closes its window and ends.
namespace {
constexpr char blockingPort[] = "COM-BLUETOOTH";
constexpr char latePort[] = "COM-PAGED";

long long monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count();
}
} // namespace

int startupChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QStringList ports;
    for (int i = 2; i < argc; ++i)
        ports.append(QString::fromLocal8Bit(argv[i]));
    SystemProbe probe = SystemProbe::live();
    probe.serialPortNames = [ports] { return ports; };
    probe.portOpens = [](const QString &name) {
        if (name == QLatin1String(latePort)) {
            QThread::sleep(3);
            return true;
        }
        if (name != QLatin1String(blockingPort))
            return SystemProbe::openAndClose(name);
        QThread::sleep(10);
        return false;
    };
    Widget window(probe);
    window.show();
    window.setWindowTitle(QStringLiteral("Tavrik"));
    while (!(window.windowHandle() && window.windowHandle()->isExposed()))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    const long long shown = monotonicNs();
    if (!waitForPortScan(window))
        return 1;
    const long long listed = monotonicNs();
    auto *list = window.findChild<QComboBox *>("ComBC");
    const int listedCount = list->count();
    const auto lateListed = [list] { return list->findText(QLatin1String(latePort)) >= 0; };
    spinUntil(lateListed, 5);
    const long long late = lateListed() ? monotonicNs() : -1;
    window.close();
    std::printf("%lld %lld %d %lld %lld\n", shown, listed, listedCount, late, monotonicNs());
    std::fflush(stdout);
    return 0;
}

Startup measureStartup(const char *self, int runs)
{
    Line a, b, c;
    std::vector<double> shown, listed, late, ended;
    Startup result;
    for (int i = 0; i < runs; ++i) {
        QProcess child;
        const long long started = monotonicNs();
        child.start(self,
                    { "--startup-child", a.portName(), b.portName(), blockingPort, latePort,
                      c.portName() });
        child.waitForFinished(20000);
        const long long finished = monotonicNs();
        const QList<QByteArray> out = child.readAllStandardOutput().trimmed().split(' ');
        if (out.size() != 5 || child.exitCode() != 0)
            continue;
        shown.push_back(double(out[0].toLongLong() - started) / 1e6);
        listed.push_back(double(out[1].toLongLong() - started) / 1e6);
        result.listed = out[2].toInt();
        late.push_back(out[3].toLongLong() < 0 ? 1e9 : double(out[3].toLongLong() - started) / 1e6);
        ended.push_back(double(finished - out[4].toLongLong()) / 1e6);
    }
    const auto median = [](std::vector<double> &values) {
        std::sort(values.begin(), values.end());
        return values.empty() ? -1 : values[values.size() / 2];
    };
    result.windowShownMs = median(shown);
    result.portsListedMs = median(listed);
    result.lateListedMs = median(late);
    result.endedMs = median(ended);
    return result;
}

#include "harness.h"

#include "nmea.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <cerrno>

#include <sys/socket.h>
#include <time.h>

Line::~Line()
{
    stopDraining = true;
    if (drainer.joinable())
        drainer.join();
}

void Line::startDraining()
{
    drainer = std::thread([this] {
        while (!stopDraining) {
            pollfd p{ deviceDescriptor(), POLLIN, 0 };
            if (poll(&p, 1, 20) <= 0)
                continue;
            char buffer[65536];
            const ssize_t n = ::read(deviceDescriptor(), buffer, sizeof buffer);
            if (n < 0 && errno == EIO) // no one has the line open yet
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            else if (n < 0 && errno != EAGAIN)
                return;
            drainedBytes += std::max<ssize_t>(n, 0);
        }
    });
}

bool Line::feed(const char *data, size_t size, const std::atomic<bool> *stop)
{
    while (size > 0) {
        if (stop && *stop)
            return false;
        const ssize_t n = ::write(deviceDescriptor(), data, size);
        if (n < 0 && errno == EAGAIN) {
            pollfd p{ deviceDescriptor(), POLLOUT, 0 };
            poll(&p, 1, 20);
            continue;
        }
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

UdpSink::UdpSink(bool noteArrivals)
    : fd(boundUdpSocket(&port, 16 * 1024 * 1024)), noteArrivals(noteArrivals)
{
    thread = std::thread([this] { run(); });
}

UdpSink::~UdpSink()
{
    finish();
    closeSocket(fd);
}

void UdpSink::finish()
{
    stop = true;
    if (thread.joinable())
        thread.join();
}

void UdpSink::run()
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

TavrikForwarder::TavrikForwarder(const Line &line, quint16 udpPort)
    : window(std::make_unique<WindowRig>(QStringList{ line.portName() }))
{
    window->window.show();
    up = window->connectUdp(udpPort);
    window->click("ConnectBtn");
    QCoreApplication::processEvents();
}

SocatForwarder::SocatForwarder(const Line &line, quint16 udpPort)
{
    process.start("socat",
                  { line.portName() + ",raw,echo=0",
                    QStringLiteral("UDP-SENDTO:%1:%2").arg(loopback().toString()).arg(udpPort) });
    process.waitForStarted(3000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

double SocatForwarder::cpuSeconds() const
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(process.processId()));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = stat.readAll().split(')').last().split(' ');
    // After the command: state is field 1, utime 12, stime 13.
    return double(fields.value(12).toLongLong() + fields.value(13).toLongLong())
            / double(sysconf(_SC_CLK_TCK));
}

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

QByteArray ggaBlock(size_t size)
{
    QByteArray block;
    for (long fix = 0; size_t(block.size()) < size; ++fix)
        block += QByteArray::fromStdString(Nmea::ggaSentence(double(fix) / 100, fix));
    return block;
}

QByteArray sentence80(long fix)
{
    QByteArray s = QByteArray::fromStdString(Nmea::ggaSentence(double(fix) / 100, fix));
    s.chop(2);
    s = s.leftJustified(78, ' ', true);
    return s + "\r\n";
}

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

void spinFor(double seconds)
{
    spinUntil([] { return false; }, seconds);
}

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

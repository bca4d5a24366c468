// Plays a GNSS receiver on a serial line: records what it is sent, streams
// fixes (a GGA and an RMC sentence each, stamped with the time and date),
// sends file contents and can hang up like an unplugged device. On Windows
// it plays the receiver on a COM port only: there are no pseudo-terminals.

#include "nmea.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#ifdef _WIN32
#  include <windows.h>
#else
#  include <fcntl.h>
#  include <poll.h>
#  include <termios.h>
#  include <unistd.h>
#endif

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

template<typename Clock>
double secondsOn()
{
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

double now()
{
    return secondsOn<std::chrono::steady_clock>();
}

struct Options
{
    bool pty = false;
    std::string device;
    int baud = 115200;
    double rate = 0.2; // fixes per second; 0 means as fast as the line takes
    long count = -1;
    std::string sendFile;
    std::string recordFile;
    double hangupAfter = -1;
    double duration = -1;
    bool waitForInput = false;
};

void usage(const char *program)
{
    std::fprintf(stderr,
                 "usage: %s (--pty | --device PATH) [options]\n"
                 "  --pty               create a pseudo-terminal and print its slave path\n"
                 "                      (not on Windows)\n"
                 "  --device PATH       play the receiver on a serial device (COMn on Windows)\n"
                 "  --baud N            line speed on --device (default 115200)\n"
                 "  --rate HZ|max       fixes per second, each a GGA and an RMC sentence\n"
                 "                      (default 0.2, one every 5 s);\n"
                 "                      max streams as fast as the line takes\n"
                 "  --count N           stop streaming after N fixes\n"
                 "  --send FILE         send the bytes of FILE first\n"
                 "  --record FILE       append every byte received to FILE\n"
                 "  --hangup-after SEC  hang up after SEC seconds, as an unplugged device\n"
                 "  --duration SEC      exit after SEC seconds\n"
                 "  --wait              send nothing until the tool has written to the line\n",
                 program);
}

// The line speeds a serial device can be set to here.
const int lineSpeeds[] = { 1200,  2400,   4800,   9600,   19200, 38400,
                           57600, 115200, 230400, 460800, 921600 };

bool isLineSpeed(long baud)
{
    return std::find(std::begin(lineSpeeds), std::end(lineSpeeds), baud) != std::end(lineSpeeds);
}

// A whole option value as a number, or false: "abc", "5x", "" and values out
// of range are refused rather than read as 0 or as a prefix.
bool toNumber(const char *text, double &number)
{
    char *end = nullptr;
    errno = 0;
    number = std::strtod(text, &end);
    return end != text && *end == '\0' && errno == 0 && std::isfinite(number);
}

bool toWhole(const char *text, long &number)
{
    char *end = nullptr;
    errno = 0;
    number = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && errno == 0;
}

// Reads the options; on a bad one, says why on stderr and returns false.
bool parse(int argc, char **argv, Options &options)
{
    auto refuse = [](const std::string &option, const char *value, const char *expected) {
        std::fprintf(stderr, "%s: bad value '%s': expected %s\n", option.c_str(), value, expected);
        return false;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        const char *v = nullptr;
        long whole = 0;
        if (arg == "--pty") {
            options.pty = true;
        } else if (arg == "--device" && (v = value())) {
            options.device = v;
        } else if (arg == "--baud" && (v = value())) {
            if (!toWhole(v, whole) || !isLineSpeed(whole))
                return refuse(arg, v, "one of 1200, 2400, ... 921600");
            options.baud = int(whole);
        } else if (arg == "--rate" && (v = value())) {
            if (std::string(v) == "max")
                options.rate = 0;
            else if (!toNumber(v, options.rate) || options.rate <= 0)
                return refuse(arg, v, "sentences per second above 0, or max");
        } else if (arg == "--count" && (v = value())) {
            if (!toWhole(v, options.count) || options.count < 0)
                return refuse(arg, v, "a count of 0 or more");
        } else if (arg == "--send" && (v = value())) {
            options.sendFile = v;
        } else if (arg == "--record" && (v = value())) {
            options.recordFile = v;
        } else if (arg == "--hangup-after" && (v = value())) {
            if (!toNumber(v, options.hangupAfter) || options.hangupAfter < 0)
                return refuse(arg, v, "seconds, 0 or more");
        } else if (arg == "--duration" && (v = value())) {
            if (!toNumber(v, options.duration) || options.duration < 0)
                return refuse(arg, v, "seconds, 0 or more");
        } else if (arg == "--wait") {
            options.waitForInput = true;
        } else {
            std::fprintf(stderr, "unknown option or missing value: %s\n", arg.c_str());
            return false;
        }
    }
    if (options.pty == !options.device.empty()) {
        std::fprintf(stderr, "give either --pty or --device PATH\n");
        return false;
    }
#ifdef _WIN32
    if (options.pty) {
        std::fprintf(stderr, "--pty: Windows has no pseudo-terminals; give --device COMn\n");
        return false;
    }
#endif
    return true;
}

// What a wait on the line found.
struct Readiness
{
    bool readable = false;
    bool writable = false;
    bool gone = false; // the device went away
};

#ifdef _WIN32
// A COM port: reads return at once with what has arrived, writes wait at
// most a moment, so that one loop serves both directions.
struct Line
{
    HANDLE handle = INVALID_HANDLE_VALUE;

    bool open(const Options &options)
    {
        const std::string path =
                options.device.rfind("\\\\", 0) == 0 ? options.device : "\\\\.\\" + options.device;
        handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            return false;
        DCB line{};
        line.DCBlength = sizeof line;
        if (!GetCommState(handle, &line))
            return false;
        line.BaudRate = DWORD(options.baud);
        line.ByteSize = 8;
        line.Parity = NOPARITY;
        line.StopBits = ONESTOPBIT;
        line.fBinary = TRUE;
        line.fParity = FALSE;
        line.fOutxCtsFlow = line.fOutxDsrFlow = line.fOutX = line.fInX = FALSE;
        line.fDtrControl = DTR_CONTROL_ENABLE;
        line.fRtsControl = RTS_CONTROL_ENABLE;
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.WriteTotalTimeoutConstant = 50;
        return SetCommState(handle, &line) && SetCommTimeouts(handle, &timeouts);
    }

    Readiness wait(bool wantWrite, double seconds)
    {
        Readiness ready;
        for (double waited = 0;; waited += 0.005) {
            DWORD errors = 0;
            COMSTAT status{};
            if (!ClearCommError(handle, &errors, &status)) {
                ready.gone = true;
                return ready;
            }
            ready.readable = status.cbInQue > 0;
            ready.writable = wantWrite;
            if (ready.readable || ready.writable || waited >= seconds)
                return ready;
            Sleep(5);
        }
    }

    long read(char *buffer, size_t size)
    {
        DWORD count = 0;
        return ReadFile(handle, buffer, DWORD(size), &count, nullptr) ? long(count) : -1;
    }

    long write(const char *bytes, size_t size)
    {
        DWORD count = 0;
        return WriteFile(handle, bytes, DWORD(size), &count, nullptr) ? long(count) : -1;
    }

    void hangUp()
    {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
};
#else
speed_t speedOf(int baud)
{
    const speed_t speeds[] = { B1200,  B2400,   B4800,   B9600,   B19200, B38400,
                               B57600, B115200, B230400, B460800, B921600 };
    static_assert(std::size(speeds) == std::size(lineSpeeds), "a speed for each rate");
    const auto at = std::find(std::begin(lineSpeeds), std::end(lineSpeeds), baud);
    return at == std::end(lineSpeeds) ? B0 : speeds[at - std::begin(lineSpeeds)];
}

bool makeRaw(int fd, speed_t speed)
{
    termios line{};
    if (tcgetattr(fd, &line) != 0)
        return false;
    cfmakeraw(&line);
    cfsetispeed(&line, speed);
    cfsetospeed(&line, speed);
    return tcsetattr(fd, TCSANOW, &line) == 0;
}

// The line: a pseudo-terminal master (with its slave held open, so that the
// master never reads a hang-up while the tool has the port closed), or a device.
struct Line
{
    int fd = -1;
    int heldSlave = -1;

    bool open(const Options &options)
    {
        if (!options.pty) {
            fd = ::open(options.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            return fd >= 0 && makeRaw(fd, speedOf(options.baud));
        }
        fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0)
            return false;
        const char *slave = ptsname(fd);
        heldSlave = ::open(slave, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (heldSlave < 0 || !makeRaw(heldSlave, B115200))
            return false;
        std::printf("pty %s\n", slave);
        std::fflush(stdout);
        return true;
    }

    Readiness wait(bool wantWrite, double seconds)
    {
        Readiness ready;
        pollfd p{ fd, short(POLLIN | (wantWrite ? POLLOUT : 0)), 0 };
        if (poll(&p, 1, int(seconds * 1000)) < 0 && errno != EINTR) {
            ready.gone = true;
            return ready;
        }
        ready.readable = p.revents & POLLIN;
        ready.writable = p.revents & POLLOUT;
        // A pseudo-terminal master reads a hang-up while the tool has the
        // port closed: only a device goes away.
        ready.gone = (p.revents & (POLLHUP | POLLERR)) && heldSlave < 0;
        return ready;
    }

    long read(char *buffer, size_t size) { return long(::read(fd, buffer, size)); }
    long write(const char *bytes, size_t size) { return long(::write(fd, bytes, size)); }

    void hangUp()
    {
        if (fd >= 0)
            ::close(fd);
        if (heldSlave >= 0)
            ::close(heldSlave);
        fd = heldSlave = -1;
    }
};
#endif

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parse(argc, argv, options)) {
        usage(argv[0]);
        return 2;
    }
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif

    Line line;
    if (!line.open(options)) {
        std::fprintf(stderr, "cannot open the line: %s\n", std::strerror(errno));
        return 1;
    }

    std::string pending;
    if (!options.sendFile.empty()) {
        std::ifstream file(options.sendFile, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "cannot read %s\n", options.sendFile.c_str());
            return 1;
        }
        pending.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    FILE *record = nullptr;
    if (!options.recordFile.empty() && !(record = std::fopen(options.recordFile.c_str(), "ab"))) {
        std::fprintf(stderr, "cannot write %s\n", options.recordFile.c_str());
        return 1;
    }

    const double start = now();
    // Fixes carry the time of day and date of the clock the simulator starts on.
    const double startUtc = secondsOn<std::chrono::system_clock>();
    auto fix = [&](double t, long number) {
        const double utc = startUtc + (t - start);
        return Nmea::ggaSentence(utc, number) + Nmea::rmcSentence(utc, number);
    };
    const double period = options.rate > 0 ? 1.0 / options.rate : 0;
    double nextFix = start;
    bool firstInput = true;
    long fixes = 0;
    unsigned long long sent = 0, received = 0;
    // Bounds what waits for the line, as a receiver's own buffer would.
    const size_t maxPending = 1 << 20;
    bool hungUp = false;

    while (!stopRequested) {
        const double t = now();
        if (options.duration >= 0 && t - start >= options.duration)
            break;
        if (options.hangupAfter >= 0 && t - start >= options.hangupAfter) {
            hungUp = true;
            break;
        }
        const bool talking = !options.waitForInput || received > 0;
        const bool streaming = talking && (options.count < 0 || fixes < options.count);
        if (streaming && period > 0 && t >= nextFix) {
            if (pending.size() < maxPending)
                pending += fix(t, fixes);
            ++fixes;
            nextFix += period;
        }
        while (streaming && period == 0 && pending.size() < 64 * 1024
               && (options.count < 0 || fixes < options.count))
            pending += fix(t, fixes++);

        double wait = 0.1;
        if (streaming && period > 0)
            wait = std::min(wait, std::max(0.0, nextFix - t));
        const Readiness ready = line.wait(talking && !pending.empty(), wait);
        if (ready.readable) {
            char buffer[65536];
            const long n = line.read(buffer, sizeof buffer);
            if (n > 0) {
                // A receiver told to start logging starts its clock then.
                if (firstInput && options.waitForInput)
                    nextFix = now();
                firstInput = false;
                received += n;
                if (record) {
                    std::fwrite(buffer, 1, size_t(n), record);
                    std::fflush(record);
                }
            }
        }
        if (ready.writable && !pending.empty()) {
            const long n = line.write(pending.data(), pending.size());
            if (n > 0) {
                sent += n;
                pending.erase(0, size_t(n));
            }
        }
        if (ready.gone) {
            std::fprintf(stderr, "the device went away\n");
            break;
        }
    }

    line.hangUp();
    if (record)
        std::fclose(record);
    std::fprintf(stderr, "%s: %ld fixes, %llu bytes sent, %llu bytes received\n",
                 hungUp ? "hung up" : "stopped", fixes, sent, received);
    return 0;
}

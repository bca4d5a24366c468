// A null-modem cable for the Windows test rig: two pseudo-terminals whose
// slaves are linked at the two paths given (a Wine prefix's dosdevices/comN
// entries), with what is written to one delivered to the other. The window
// opens one COM port, the test plays the device on the other.
//
// Each slave is held open here as well, so that a program closing its port
// does not hang the line up: the cable stays for the next open, as a real one
// would. It ends on SIGTERM, when its parent goes, or after an hour.
//
// Usage: nullmodem LINK_A LINK_B
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum { bufferSize = 4096, lifetimeSeconds = 3600 };

struct End
{
    int master;
    int slave;
    const char *link;
};

// Bytes read from one end that the other has not taken yet.
struct Direction
{
    char bytes[bufferSize];
    ssize_t size;
    ssize_t sent;
};

static volatile sig_atomic_t stopping;

static void stop(int signal)
{
    (void)signal;
    stopping = 1;
}

static int openEnd(struct End *end, const char *link)
{
    end->link = link;
    end->master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (end->master < 0 || grantpt(end->master) != 0 || unlockpt(end->master) != 0)
        return -1;
    const char *slave = ptsname(end->master);
    if (!slave)
        return -1;
    end->slave = open(slave, O_RDWR | O_NOCTTY);
    if (end->slave < 0)
        return -1;
    struct termios line;
    if (tcgetattr(end->slave, &line) == 0) {
        cfmakeraw(&line);
        tcsetattr(end->slave, TCSANOW, &line);
    }
    unlink(link);
    return symlink(slave, link);
}

// Moves what `from` has towards `to`, as far as `to` takes it.
static void relay(struct Direction *direction, const struct End *from, const struct End *to)
{
    if (direction->sent == direction->size) {
        direction->size = read(from->master, direction->bytes, bufferSize);
        direction->sent = 0;
        if (direction->size < 0)
            direction->size = 0;
    }
    if (direction->sent < direction->size) {
        const ssize_t n = write(to->master, direction->bytes + direction->sent,
                                (size_t)(direction->size - direction->sent));
        if (n > 0)
            direction->sent += n;
    }
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s LINK_A LINK_B\n", argv[0]);
        return 2;
    }
    signal(SIGTERM, stop);
    signal(SIGINT, stop);
    const pid_t parent = getppid();
    struct End a, b;
    if (openEnd(&a, argv[1]) != 0 || openEnd(&b, argv[2]) != 0) {
        perror("nullmodem");
        return 1;
    }
    struct Direction aToB = { .size = 0 }, bToA = { .size = 0 };
    const time_t end = time(NULL) + lifetimeSeconds;
    while (!stopping && getppid() == parent && time(NULL) < end) {
        struct pollfd fds[2] = {
            { a.master, aToB.sent == aToB.size ? POLLIN : 0, 0 },
            { b.master, bToA.sent == bToA.size ? POLLIN : 0, 0 },
        };
        // Waiting for room on the far end is a short sleep: a master reports
        // POLLOUT while its slave's input queue is full.
        const int pending = aToB.sent < aToB.size || bToA.sent < bToA.size;
        if (poll(fds, 2, pending ? 5 : 200) < 0 && errno != EINTR)
            break;
        relay(&aToB, &a, &b);
        relay(&bToA, &b, &a);
    }
    unlink(a.link);
    unlink(b.link);
    return 0;
}

#ifndef WINDOWFIGURES_H
#define WINDOWFIGURES_H

// Figures of the window itself: the cost of a view append, the TCP server's
// fan-out to many clients, and start-up.

struct AppendCost
{
    double meanMs = 0;
    double worstMs = 0;
};

struct FanOut
{
    int clients = 0;
    int complete = 0;
    long long sent = 0;
    bool stalledDropped = false;
    double droppedAfterMB = 0;
};

AppendCost measureAppendCost(int appends);
FanOut measureFanOut(int clientCount, double seconds, int bytesPerSecond);
// The start-up figure runs this program again as a child: main hands such a
// run to startupChild.
int startupChild(int argc, char **argv);
double measureStartup(const char *self, int runs, int *listed);

#endif // WINDOWFIGURES_H

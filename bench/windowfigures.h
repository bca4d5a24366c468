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
// run to startupChild. Medians, in milliseconds from the child's start.
struct Startup
{
    double windowShownMs = -1;
    double portsListedMs = -1; // the ports that answer at once
    int listed = 0;
    double lateListedMs = -1; // the port that answers after 3 s; 1e9: never
    double endedMs = -1; // from the window's close to the end of the program
};
int startupChild(int argc, char **argv);
Startup measureStartup(const char *self, int runs);

#endif // WINDOWFIGURES_H

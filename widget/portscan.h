#ifndef PORTSCAN_H
#define PORTSCAN_H

#include "systemprobe.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <memory>

// Finds which of the reported serial ports can be opened, without blocking
// the window's thread. Opening a port can take seconds (a Bluetooth port
// while the stack pages its device, one whose device is out of range longer
// still), so each port is opened and closed on a thread of its own, and
// nothing waits for such a thread, not even the program's exit.
//
// A scan settles once every probe has answered or probeTimeoutMs have
// passed, and lists the ports that opened by then; a port whose probe answers
// later is added when it does. A port is never probed twice at once: a scan
// that finds a probe of it still running waits for that probe's answer.
class PortScan : public QObject
{
    Q_OBJECT

public:
    static constexpr int probeTimeoutMs = 2000;

    explicit PortScan(const SystemProbe &probe, QObject *parent = nullptr);

    // Starts a scan of the ports the probe reports, writing the trace line
    // "#######" for each when `traced`. A scan that has not settled yet is
    // dropped.
    void start(bool traced);
    bool isRunning() const { return !settled; }
    // Blocks while a probe holds the port, for at most probeTimeoutMs: an
    // open meanwhile would find the port busy.
    void waitForProbe(const QString &port) const;

signals:
    // The ports that opened when the scan settled, in the order the system
    // reported them.
    void finished(const QStringList &ports);
    // The same, once more, each time a port answers after the scan settled.
    void grew(const QStringList &ports);

private:
    struct Probe;
    void probe(const QString &name);
    void collect();

    SystemProbe systemProbe;
    QStringList names; // the scan's, as the system reported them
    QHash<QString, std::shared_ptr<Probe>> probes; // the latest of each port
    QStringList opened;
    bool settled = true;
    QElapsedTimer elapsed;
    QTimer poll;
};

#endif // PORTSCAN_H

#ifndef PORTSCAN_H
#define PORTSCAN_H

#include "systemprobe.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <memory>

// Finds which of the reported serial ports can be opened right now, without
// blocking the window's thread. Opening a port can take seconds (a Bluetooth
// port while the stack pages its device, one whose device is out of range
// longer still), so each port is opened and closed on a thread of its own.
// A scan lasts at most probeTimeoutMs: a probe that has not returned by then
// leaves its port out, and its thread finishes alone, with nothing waiting
// for it, not even the program's exit.
class PortScan : public QObject
{
    Q_OBJECT

public:
    static constexpr int probeTimeoutMs = 2000;

    explicit PortScan(const SystemProbe &probe, QObject *parent = nullptr);

    // Starts a scan of the ports the probe reports, writing the trace line
    // "#######" for each when `traced`. A scan still running is dropped.
    void start(bool traced);
    bool isRunning() const { return !probes.isEmpty(); }

signals:
    // The ports that opened, in the order the system reported them.
    void finished(const QStringList &ports);

private:
    struct Probe;
    void collect();

    SystemProbe systemProbe;
    QVector<std::shared_ptr<Probe>> probes;
    QElapsedTimer elapsed;
    QTimer poll;
};

#endif // PORTSCAN_H

#include "portscan.h"

#include "trace.h"

#include <QThread>

#include <atomic>

namespace {
// How often a running scan looks at its probes.
constexpr int pollMs = 10;
} // namespace

// Shared by the scan and the probe's thread, which may outlive the scan.
struct PortScan::Probe
{
    enum State { Running, Opened, Failed };
    explicit Probe(const QString &name) : name(name) { }
    const QString name;
    std::atomic<int> state{ Running };
};

PortScan::PortScan(const SystemProbe &probe, QObject *parent) : QObject(parent), systemProbe(probe)
{
    poll.setInterval(pollMs);
    connect(&poll, &QTimer::timeout, this, &PortScan::collect);
}

void PortScan::start(bool traced)
{
    probes.clear();
    const QStringList names = systemProbe.serialPortNames();
    for (const QString &name : names) {
        if (traced)
            trace(QStringLiteral("#######"));
        auto probe = std::make_shared<Probe>(name);
        // A QThread, so that the port's notifiers have an event dispatcher;
        // it deletes itself when done, and nothing joins it.
        QThread *thread = QThread::create([probe, opens = systemProbe.portOpens] {
            probe->state = opens(probe->name) ? Probe::Opened : Probe::Failed;
        });
        connect(thread, &QThread::finished, thread, &QObject::deleteLater);
        thread->start();
        probes.append(probe);
    }
    elapsed.start();
    poll.start();
    collect();
}

void PortScan::collect()
{
    const bool timedOut = elapsed.elapsed() >= probeTimeoutMs;
    QStringList opened;
    for (const auto &probe : qAsConst(probes)) {
        const int state = probe->state;
        if (state == Probe::Running && !timedOut)
            return;
        if (state == Probe::Opened)
            opened.append(probe->name);
    }
    probes.clear();
    poll.stop();
    emit finished(opened);
}

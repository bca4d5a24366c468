#include "portscan.h"

#include "trace.h"

#include <QThread>

#include <chrono>
#include <future>

namespace {
// How often a scan looks at its probes while any of them runs.
constexpr int pollMs = 10;
} // namespace

// Shared by the scan and the probe's thread, which may outlive the scan.
struct PortScan::Probe
{
    std::promise<bool> opens;
    std::shared_future<bool> answer = opens.get_future().share();

    bool answered() const
    {
        return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }
};

PortScan::PortScan(const SystemProbe &probe, QObject *parent) : QObject(parent), systemProbe(probe)
{
    poll.setInterval(pollMs);
    connect(&poll, &QTimer::timeout, this, &PortScan::collect);
}

void PortScan::start(bool traced)
{
    names = systemProbe.serialPortNames();
    for (const QString &name : qAsConst(names)) {
        if (traced)
            trace(QStringLiteral("#######"));
        probe(name);
    }
    opened.clear();
    settled = false;
    elapsed.start();
    poll.start();
    collect();
}

// Starts a probe of the port, unless one is running.
void PortScan::probe(const QString &name)
{
    std::shared_ptr<Probe> &probe = probes[name];
    if (probe && !probe->answered())
        return;
    probe = std::make_shared<Probe>();
    // A QThread, so that the port's notifiers have an event dispatcher; it
    // deletes itself when done, and nothing joins it.
    QThread *thread = QThread::create(
            [probe, name, opens = systemProbe.portOpens] { probe->opens.set_value(opens(name)); });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

void PortScan::waitForProbe(const QString &port) const
{
    const std::shared_ptr<Probe> probe = probes.value(port);
    if (probe)
        probe->answer.wait_for(std::chrono::milliseconds(probeTimeoutMs));
}

void PortScan::collect()
{
    QStringList nowOpened;
    bool anyRunning = false;
    for (const QString &name : qAsConst(names)) {
        const std::shared_ptr<Probe> probe = probes.value(name);
        if (!probe->answered())
            anyRunning = true;
        else if (probe->answer.get())
            nowOpened.append(name);
    }
    if (!anyRunning)
        poll.stop();
    if (!settled) {
        if (anyRunning && elapsed.elapsed() < probeTimeoutMs)
            return;
        settled = true;
        opened = nowOpened;
        emit finished(opened);
    } else if (nowOpened != opened) {
        opened = nowOpened;
        emit grew(opened);
    }
}

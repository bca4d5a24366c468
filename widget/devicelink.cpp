#include "devicelink.h"

#include <QSerialPort>

namespace {
// How often the device's progress is looked at while data waits for it.
constexpr int watchMs = 250;
} // namespace

DeviceLink::DeviceLink(QSerialPort *port, QObject *parent) : QObject(parent), port(port)
{
    watch.setInterval(watchMs);
    connect(&watch, &QTimer::timeout, this, &DeviceLink::update);
    connect(port, &QSerialPort::bytesWritten, this, [this](qint64 bytes) {
        handed += bytes;
        update();
    });
}

void DeviceLink::restart()
{
    pressure.setBaudRate(port->baudRate());
    handed = 0;
}

bool DeviceLink::accepts(bool holdable)
{
    if (!port->isOpen())
        return false;
    update();
    // A device that takes nothing (a held-off flow control, a receiver that
    // hangs) must not make the queue towards it grow for ever.
    const bool behind = port->bytesToWrite() > pressure.holdBytes()
            && (pressure.verdict() == DeviceBackPressure::Stalled || !holdable);
    return !behind;
}

void DeviceLink::write(const QByteArray &block)
{
    port->write(block);
    update();
}

void DeviceLink::stop()
{
    watch.stop();
    emit peersHeld(false);
}

qint64 DeviceLink::readChunk(qint64 peerLimit) const
{
    return qMin(peerLimit, pressure.holdBytes());
}

void DeviceLink::update()
{
    if (!port->isOpen()) {
        stop();
        return;
    }
    // Handed to the driver is not yet taken by the device, where the driver
    // tells what it still holds.
    const qint64 driverQueued = kernelOutputQueue(*port);
    const qint64 queued = port->bytesToWrite() + driverQueued;
    const DeviceBackPressure::Verdict verdict = pressure.update(queued, handed - driverQueued);
    if (queued == 0)
        watch.stop();
    else if (!watch.isActive())
        watch.start();
    emit peersHeld(verdict == DeviceBackPressure::Hold);
}

#include "devicelink.h"

#include <QSerialPort>

#include <utility>

#if defined(Q_OS_WIN)
#  include <qt_windows.h>
#elif defined(Q_OS_UNIX)
#  include <sys/ioctl.h>
#  include <termios.h>
#endif

namespace {

// How often the device's progress is looked at while data waits for it.
constexpr int watchMs = 250;

// The bytes the operating system still holds for the port's line, written
// but not yet sent; 0 where it does not tell.
qint64 kernelOutputQueue(QSerialPort &port)
{
    if (!port.isOpen())
        return 0;
#if defined(Q_OS_WIN)
    COMSTAT status{};
    DWORD errors = 0;
    if (ClearCommError(port.handle(), &errors, &status))
        return qint64(status.cbOutQue);
#elif defined(Q_OS_UNIX) && defined(TIOCOUTQ)
    int queued = 0;
    if (::ioctl(port.handle(), TIOCOUTQ, &queued) == 0)
        return queued;
#endif
    return 0;
}

} // namespace

DeviceLink::DeviceLink(QSerialPort *port, QObject *parent, std::function<qint64()> clock)
    : QObject(parent), port(port), pressure(std::move(clock))
{
    watch.setInterval(watchMs);
    connect(&watch, &QTimer::timeout, this, &DeviceLink::update);
    connect(port, &QSerialPort::bytesWritten, this, [this](qint64 bytes) {
        handed += bytes;
        handOn();
        update();
    });
    connect(port, &QSerialPort::baudRateChanged, this, &DeviceLink::restart);
    // Closing drops what waited for the device, however the port closes.
    connect(port, &QIODevice::aboutToClose, this, &DeviceLink::stop);
}

bool DeviceLink::open(const QString &portName)
{
    port->setPortName(portName);
    if (!port->open(QIODevice::ReadWrite))
        return false;
    restart();
    return true;
}

void DeviceLink::restart()
{
    pressure.setBaudRate(port->baudRate());
    handed = 0;
}

void DeviceLink::stop()
{
    watch.stop();
    pending.clear();
    head = 0;
    setPeersHeld(false);
}

bool DeviceLink::accepts(bool holdable) const
{
    if (!port->isOpen())
        return false;
    // A device that takes nothing (a held-off flow control, a receiver that
    // hangs) must not make the queue towards it grow for ever. The event loop
    // may have been busy for longer than the stall window: the verdict is
    // brought up to now first.
    const Progress now = progress();
    return waitingBytes() <= pressure.holdBytes()
            || (holdable
                && pressure.verdictFor(now.queued, now.taken) != DeviceBackPressure::Stalled);
}

void DeviceLink::write(const QByteArray &block)
{
    pending.append(block);
    handOn();
    update();
}

qint64 DeviceLink::waitingBytes() const
{
    // A closed port still counts what its last session left unwritten.
    if (!port->isOpen())
        return 0;
    return pending.size() - head + port->bytesToWrite();
}

qint64 DeviceLink::readChunk(qint64 peerLimit) const
{
    return qMin(peerLimit, pressure.holdBytes());
}

qint64 DeviceLink::pieceBytes() const
{
    // Qt on Windows reports a write once all of it has gone, elsewhere as the
    // driver takes it: there a piece is also no larger than the step of
    // progress that the stall window allows for.
#ifdef Q_OS_WIN
    return qMin(pressure.bytesPerSecond(), DeviceBackPressure::kernelBufferBytes);
#else
    return pressure.bytesPerSecond();
#endif
}

// Tops Qt's buffer towards the device up to a piece.
void DeviceLink::handOn()
{
    const qint64 piece = pieceBytes();
    while (port->isOpen() && head < pending.size() && port->bytesToWrite() < piece) {
        const qint64 bytes = qMin(piece - port->bytesToWrite(), pending.size() - head);
        port->write(pending.constData() + head, bytes);
        head += bytes;
    }
    if (head == pending.size()) {
        pending.clear();
        head = 0;
    } else if (head > pending.size() / 2) {
        pending.remove(0, int(head));
        head = 0;
    }
}

DeviceLink::Progress DeviceLink::progress() const
{
    // Handed to the driver is not yet taken by the device, where the driver
    // tells what it still holds.
    const qint64 driverQueued = kernelOutputQueue(*port);
    return { waitingBytes() + driverQueued, handed - driverQueued };
}

void DeviceLink::update()
{
    if (!port->isOpen())
        return;
    const Progress now = progress();
    const DeviceBackPressure::Verdict verdict = pressure.update(now.queued, now.taken);
    if (now.queued == 0)
        watch.stop();
    else if (!watch.isActive())
        watch.start();
    setPeersHeld(verdict == DeviceBackPressure::Hold);
}

void DeviceLink::setPeersHeld(bool held)
{
    if (held == holding)
        return;
    holding = held;
    emit peersHeldChanged(held);
}

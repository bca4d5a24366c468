#include "devicebackpressure.h"

#include <QElapsedTimer>
#include <QSerialPort>

#include <utility>

#if defined(Q_OS_WIN)
#  include <qt_windows.h>
#elif defined(Q_OS_UNIX)
#  include <sys/ioctl.h>
#  include <termios.h>
#endif

DeviceBackPressure::DeviceBackPressure(std::function<qint64()> clock) : clock(std::move(clock))
{
    lastProgressMs = this->clock();
}

void DeviceBackPressure::setBaudRate(qint32 baud)
{
    // A start bit, eight data bits and a stop bit for each byte.
    const qint64 bytesPerSecond = qMax<qint64>(1, baud / 10);
    holdMark = qBound(minHoldBytes, holdSeconds * bytesPerSecond, maxHoldBytes);
    // Half a buffer's time more, so that a device that reads at the line rate
    // is seen to take data within every window.
    stallWindow = qMax(stallMs, kernelBufferBytes * 1000 * 3 / 2 / bytesPerSecond);
    lastQueued = 0;
    lastTaken = 0;
    lastProgressMs = clock();
    longestStepMs = 0;
    current = Flowing;
}

qint64 DeviceBackPressure::stallWindowMs() const
{
    return qBound(stallWindow, paceFactor * longestStepMs, maxPaceFactor * stallWindow);
}

DeviceBackPressure::Verdict DeviceBackPressure::update(qint64 queued, qint64 taken)
{
    const qint64 now = clock();
    // The stall clock runs only while something waits: data queued after an
    // idle spell starts it afresh.
    if (queued == 0)
        longestStepMs = 0;
    else if (taken != lastTaken && lastQueued > 0)
        longestStepMs = qMax(longestStepMs, now - lastProgressMs);
    if (taken != lastTaken || lastQueued == 0 || queued == 0) {
        lastProgressMs = now;
        if (current == Stalled)
            current = Flowing;
    }
    lastTaken = taken;
    lastQueued = queued;

    if (queued > 0 && now - lastProgressMs >= stallWindowMs())
        current = Stalled;
    else if (current != Stalled && queued > holdMark)
        current = Hold;
    else if (current == Hold && queued <= releaseBytes())
        current = Flowing;
    return current;
}

qint64 DeviceBackPressure::steadyClock()
{
    static QElapsedTimer timer;
    if (!timer.isValid())
        timer.start();
    return timer.elapsed();
}

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

#include "devicebackpressure.h"

#include <QElapsedTimer>

#include <utility>

DeviceBackPressure::DeviceBackPressure(std::function<qint64()> clock) : clock(std::move(clock))
{
    state.lastProgressMs = this->clock();
}

void DeviceBackPressure::setBaudRate(qint32 baud)
{
    // A start bit, eight data bits and a stop bit for each byte.
    lineBytesPerSecond = qMax<qint64>(1, baud / 10);
    holdMark = qBound(minHoldBytes, holdSeconds * lineBytesPerSecond, maxHoldBytes);
    // Half a buffer's time more, so that a device that reads at the line rate
    // is seen to take data within every window.
    stallWindow = qMax(stallMs, kernelBufferBytes * 1000 * 3 / 2 / lineBytesPerSecond);
    state = State();
    state.lastProgressMs = clock();
}

qint64 DeviceBackPressure::windowFor(qint64 longestStepMs) const
{
    return qBound(stallWindow, paceFactor * longestStepMs, maxPaceFactor * stallWindow);
}

DeviceBackPressure::Verdict DeviceBackPressure::update(qint64 queued, qint64 taken)
{
    state = next(queued, taken, clock());
    return state.verdict;
}

DeviceBackPressure::Verdict DeviceBackPressure::verdictFor(qint64 queued, qint64 taken) const
{
    return next(queued, taken, clock()).verdict;
}

DeviceBackPressure::State DeviceBackPressure::next(qint64 queued, qint64 taken, qint64 now) const
{
    State s = state;
    const qint64 step = now - s.lastProgressMs;
    // The stall clock runs only while something waits: data queued after an
    // idle spell starts it afresh.
    if (queued == 0)
        s.longestStepMs = 0;
    else if (taken != s.lastTaken && s.lastQueued > 0 && s.verdict != Stalled
             && step < windowFor(s.longestStepMs))
        s.longestStepMs = qMax(s.longestStepMs, step);
    if (taken != s.lastTaken || s.lastQueued == 0 || queued == 0) {
        s.lastProgressMs = now;
        if (s.verdict == Stalled)
            s.verdict = Flowing;
    }
    s.lastTaken = taken;
    s.lastQueued = queued;

    if (queued > 0 && now - s.lastProgressMs >= windowFor(s.longestStepMs))
        s.verdict = Stalled;
    else if (s.verdict != Stalled && queued > holdMark)
        s.verdict = Hold;
    else if (s.verdict == Hold && queued <= releaseBytes())
        s.verdict = Flowing;
    return s;
}

qint64 DeviceBackPressure::steadyClock()
{
    static QElapsedTimer timer;
    if (!timer.isValid())
        timer.start();
    return timer.elapsed();
}

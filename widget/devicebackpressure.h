#ifndef DEVICEBACKPRESSURE_H
#define DEVICEBACKPRESSURE_H

#include <QtGlobal>

#include <functional>

// Decides, for network data queued towards a serial device slower than the
// network, when the TCP peers are held back, when they are released and
// when the device counts as stalled.
//
// The bound is line time, not bytes: corrections that wait longer than a few
// seconds are stale by the time they reach an RTK receiver. Peers are held
// once more than holdSeconds of line time waits (never fewer than
// minHoldBytes, never more than maxHoldBytes) and released once the queue is
// down to half of that.
//
// A device is stalled when it has taken nothing for stallMs while data
// waited for it. The kernel hands the writer room in steps of its own buffer,
// which at a low rate take longer than that to drain, so the window is at
// least one and a half times the line time of such a buffer. Where the port
// does not tell what its driver still holds (a pseudo-terminal, many virtual
// COM ports), progress shows only in such steps, and at the device's own pace
// rather than the line's: during a backlog the window therefore widens to
// paceFactor times the longest step seen, up to maxPaceFactor times the
// line's window, and narrows again once the queue is empty. Only steps of
// progress count there: a step that ended a stall, or that was longer than
// the window, is not the device's pace. A stalled device holds nobody back;
// it is no longer stalled once it takes data again.
class DeviceBackPressure
{
public:
    static constexpr int holdSeconds = 2;
    static constexpr qint64 minHoldBytes = 2 * 1024;
    static constexpr qint64 maxHoldBytes = 4 * 1024 * 1024;
    static constexpr qint64 stallMs = 3000;
    static constexpr qint64 kernelBufferBytes = 4096;
    static constexpr int paceFactor = 3;
    static constexpr int maxPaceFactor = 10;

    enum Verdict { Flowing, Hold, Stalled };

    // Milliseconds from a fixed start.
    static qint64 steadyClock();
    // `clock` gives milliseconds from any fixed start.
    explicit DeviceBackPressure(std::function<qint64()> clock = steadyClock);

    // Sets the bounds for a line at this many bits a second; starts afresh.
    void setBaudRate(qint32 baud);
    qint64 holdBytes() const { return holdMark; }
    qint64 releaseBytes() const { return holdMark / 2; }
    qint64 bytesPerSecond() const { return lineBytesPerSecond; }
    // Longer than the line's own window while a backlog shows a slower pace.
    qint64 stallWindowMs() const { return windowFor(state.longestStepMs); }

    // `queued`: bytes waiting for the device; `taken`: all the device has
    // taken since the link opened.
    Verdict update(qint64 queued, qint64 taken);
    // What update() would say now, recording nothing.
    Verdict verdictFor(qint64 queued, qint64 taken) const;
    Verdict verdict() const { return state.verdict; }

private:
    struct State
    {
        qint64 lastQueued = 0;
        qint64 lastTaken = 0;
        qint64 lastProgressMs = 0;
        qint64 longestStepMs = 0; // between two signs of progress, this backlog
        Verdict verdict = Flowing;
    };

    qint64 windowFor(qint64 longestStepMs) const;
    State next(qint64 queued, qint64 taken, qint64 now) const;

    std::function<qint64()> clock;
    qint64 holdMark = maxHoldBytes;
    qint64 lineBytesPerSecond = 0;
    qint64 stallWindow = stallMs;
    State state;
};

#endif // DEVICEBACKPRESSURE_H

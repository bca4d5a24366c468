#ifndef DEVICELINK_H
#define DEVICELINK_H

#include "devicebackpressure.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

class QSerialPort;

// The serial device's side of network data. It opens the port and follows
// its close, hands blocks to the port a piece at a time, counts what the
// device has taken, asks DeviceBackPressure, watches the device while data
// waits for it, and says when the network peers must be held back.
class DeviceLink : public QObject
{
    Q_OBJECT

public:
    // `clock` gives milliseconds from any fixed start.
    explicit DeviceLink(QSerialPort *port, QObject *parent = nullptr,
                        std::function<qint64()> clock = DeviceBackPressure::steadyClock);

    // Opens the port for reading and writing; the bounds follow its baud
    // rate, now and whenever it changes.
    bool open(const QString &portName);
    // Whether the device takes a block now. Not while the port is closed, nor
    // past the bound for a datagram (`holdable` false), or for any block once
    // the device counts as stalled. Judged on the device's progress as it is
    // now; changes nothing.
    bool accepts(bool holdable) const;
    void write(const QByteArray &block);
    // Waiting here and in Qt's buffer towards the device, not yet handed to
    // the driver.
    qint64 waitingBytes() const;
    bool peersHeld() const { return holding; }
    // What the port is handed at most at once: a second of line time.
    qint64 pieceBytes() const;
    // The largest piece to read from a peer at a time: one piece must not
    // make the queue overshoot its bound by more than the bound itself.
    qint64 readChunk(qint64 peerLimit) const;

signals:
    void peersHeldChanged(bool held);

private:
    struct Progress
    {
        qint64 queued; // waiting for the device, the driver's queue included
        qint64 taken; // by the device since the port opened
    };

    void restart();
    void stop();
    void handOn();
    void update();
    Progress progress() const;
    void setPeersHeld(bool held);

    QSerialPort *port;
    DeviceBackPressure pressure;
    QTimer watch;
    // Blocks not yet handed to the port, from `head` on: the port gets at
    // most a piece at once, so that its progress shows even where Qt reports
    // a write only once all of it has gone.
    QByteArray pending;
    qint64 head = 0;
    qint64 handed = 0; // to the driver since the port opened
    bool holding = false;
};

#endif // DEVICELINK_H

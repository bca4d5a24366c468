#ifndef DEVICELINK_H
#define DEVICELINK_H

#include "devicebackpressure.h"

#include <QObject>
#include <QTimer>

class QSerialPort;

// The serial device's side of network data. It hands blocks to the port,
// counts what the device has taken, asks DeviceBackPressure, watches the
// device while data waits for it, and says when the network peers must be
// held back and when they may go on.
class DeviceLink : public QObject
{
    Q_OBJECT

public:
    explicit DeviceLink(QSerialPort *port, QObject *parent = nullptr);

    // The port has just opened: the bounds follow its baud rate, nothing has
    // been taken yet.
    void restart();
    // Whether the device takes a block now. Not while the port is closed, nor
    // past the bound for a datagram (`holdable` false), or for any block once
    // the device counts as stalled. Judged on what the device has done up to
    // now.
    bool accepts(bool holdable);
    void write(const QByteArray &block);
    // The port has closed: what waited for the device is gone.
    void stop();
    // The largest piece to read from a peer at a time: one piece must not
    // make the queue overshoot its bound by more than the bound itself.
    qint64 readChunk(qint64 peerLimit) const;

signals:
    // Whether the peers must be held back, each time the device's progress
    // has been looked at.
    void peersHeld(bool held);

private:
    void update();

    QSerialPort *port;
    DeviceBackPressure pressure;
    QTimer watch;
    qint64 handed = 0; // to the driver since the port opened
};

#endif // DEVICELINK_H

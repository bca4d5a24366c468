#include "devicelink.h"
#include "deviceplayer.h"

#include <QSerialPort>
#include <QSignalSpy>
#include <QtTest>

// The device's side of network data on its own, with a device that takes
// nothing on a pseudo-terminal and a clock of the test's.
class tst_DeviceLink : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { SKIP_WITHOUT_DEVICE_PLAYER(); }
    void deviceThatTakesNothing_data();
    void deviceThatTakesNothing();
};

void tst_DeviceLink::deviceThatTakesNothing_data()
{
    QTest::addColumn<bool>("holdable");
    QTest::newRow("a TCP peer's block") << true;
    QTest::newRow("a datagram") << false;
}

void tst_DeviceLink::deviceThatTakesNothing()
{
    QFETCH(bool, holdable);
    DevicePlayer device;
    QSerialPort port;
    qint64 now = 0;
    DeviceLink link(&port, nullptr, [&now] { return now; });
    QSignalSpy held(&link, &DeviceLink::peersHeldChanged);
    QVERIFY(link.open(device.portName()));
    QVERIFY(port.setBaudRate(9600));
    const DeviceBackPressure line = [] {
        DeviceBackPressure pressure;
        pressure.setBaudRate(9600);
        return pressure;
    }();

    link.write(QByteArray(100000, 'x'));
    QTest::qWait(300);
    // The port gets a piece, at most a second of line time, at once; the
    // rest waits here.
    QVERIFY(link.pieceBytes() <= line.bytesPerSecond());
    QVERIFY(port.bytesToWrite() <= link.pieceBytes());
    QVERIFY(link.waitingBytes() > line.holdBytes());
    QCOMPARE(held.count(), 1);
    QVERIFY(link.peersHeld());
    // Past the bound a datagram is refused; a peer is held, not refused.
    QCOMPARE(link.accepts(holdable), holdable);

    // The event loop did not come round for a stall window: the block is
    // judged on the device's progress as it is now, and judging changes
    // nothing.
    now += line.stallWindowMs();
    QVERIFY(!link.accepts(holdable));
    QVERIFY(!link.accepts(holdable));
    QCOMPARE(held.count(), 1);
    // Once the link looks, a stalled device holds nobody back.
    QTRY_VERIFY(!link.peersHeld());
    QCOMPARE(held.count(), 2);

    // Closing drops what waited for the device.
    port.close();
    QCOMPARE(link.waitingBytes(), 0);
    QVERIFY(!link.accepts(true));
}

QTEST_GUILESS_MAIN(tst_DeviceLink)
#include "tst_devicelink.moc"

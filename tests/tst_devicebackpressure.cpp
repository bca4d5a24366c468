#include "devicebackpressure.h"

#include <QtTest>

// The rules for holding TCP peers back for a slow device, against a line
// simulated in 50 ms steps: a sender that may be held back, and a device that
// empties the kernel's buffer at its pace and is handed the next buffer only
// once it is empty, as a serial driver does. What the device is offered once
// it counts as stalled is the device link's business, not this one's: the
// sender offers nothing then.
class tst_DeviceBackPressure : public QObject
{
    Q_OBJECT

private slots:
    void holdsReleasesAndStalls_data();
    void holdsReleasesAndStalls();
    void stallWindow_data();
    void stallWindow();
};

void tst_DeviceBackPressure::holdsReleasesAndStalls_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<double>("pace"); // of the line rate, while the device reads
    QTest::addColumn<int>("pausedFromMs"); // the device slows down from then...
    QTest::addColumn<int>("pausedToMs"); // ...to then...
    QTest::addColumn<double>("pausedPace"); // ...to this; 0: it takes nothing
    QTest::addColumn<int>("senderRate"); // bytes a second offered
    QTest::addColumn<int>("stalledAfterMs"); // of the pause; -1: never stalled
    QTest::addColumn<int>("senderFromMs"); // the sender is quiet until then

    for (int baud : { 1200, 9600, 115200, 921600 })
        QTest::addRow("%d baud, device reads at line rate", baud)
                << baud << 1.0 << 0 << 0 << 0.0 << 50000 << -1 << 0;
    QTest::newRow("9600 baud, device reads at three quarters of it")
            << 9600 << 0.75 << 0 << 0 << 0.0 << 50000 << -1 << 0;
    QTest::newRow("115200 baud, sender slower than the line")
            << 115200 << 1.0 << 0 << 0 << 0.0 << 5000 << -1 << 0;
    QTest::newRow("1200 baud, device takes nothing: a buffer's time and a half")
            << 1200 << 1.0 << 0 << 120000 << 0.0 << 50000 << 51200 << 0;
    QTest::newRow("9600 baud, device takes nothing: that, or 3 s")
            << 9600 << 1.0 << 0 << 120000 << 0.0 << 50000 << 6400 << 0;
    QTest::newRow("115200 baud, device takes nothing for 3 s")
            << 115200 << 1.0 << 0 << 120000 << 0.0 << 50000 << 3000 << 0;
    QTest::newRow("115200 baud, device stops, then reads again")
            << 115200 << 1.0 << 20000 << 40000 << 0.0 << 50000 << 3000 << 0;
    // Where the port tells nothing of what its driver holds, progress shows
    // only as each buffer is handed over: 1.8 s apart, then 4.3 s apart,
    // longer than the line's own window.
    QTest::newRow("115200 baud, device slows to a twelfth, seen a buffer at a time")
            << 115200 << 0.2 << 20000 << 120000 << 1.0 / 12 << 50000 << -1 << 0;
    // The window looks at the device only while data waits for it: the
    // first block after a quiet spell starts the stall clock afresh.
    QTest::newRow("115200 baud, first data after a minute's quiet")
            << 115200 << 1.0 << 0 << 0 << 0.0 << 50000 << -1 << 60000;
    QTest::newRow("921600 baud, device stops, then reads again")
            << 921600 << 1.0 << 20000 << 40000 << 0.0 << 500000 << 3000 << 0;
}

void tst_DeviceBackPressure::holdsReleasesAndStalls()
{
    QFETCH(int, baud);
    QFETCH(double, pace);
    QFETCH(int, pausedFromMs);
    QFETCH(int, pausedToMs);
    QFETCH(double, pausedPace);
    QFETCH(int, senderRate);
    QFETCH(int, stalledAfterMs);
    QFETCH(int, senderFromMs);

    qint64 now = 0;
    DeviceBackPressure pressure([&now] { return now; });
    pressure.setBaudRate(baud);
    const qint64 hold = pressure.holdBytes();
    qint64 queued = 0, inKernel = 0, taken = 0, largestQueue = 0, sentAfterPause = 0;
    double deviceBudget = 0, senderBudget = 0;
    qint64 stalledAt = -1;
    for (now = 0; now <= 120000; now += 50) {
        const bool paused = now >= pausedFromMs && now < pausedToMs;
        if (!paused || pausedPace > 0) {
            deviceBudget += (paused ? pausedPace : pace) * baud / 10 * 0.05;
            const qint64 bytes = qMin(inKernel, qint64(deviceBudget));
            inKernel -= bytes;
            deviceBudget -= double(bytes);
        }
        if (inKernel == 0 && queued > 0) {
            inKernel = qMin(queued, DeviceBackPressure::kernelBufferBytes);
            queued -= inKernel;
            taken += inKernel;
        }
        DeviceBackPressure::Verdict verdict = pressure.verdict();
        if (queued > 0 || inKernel > 0)
            verdict = pressure.update(queued, taken);
        // The sender offers pieces of at most the hold bound, each looked
        // at as it arrives.
        if (now >= senderFromMs)
            senderBudget += senderRate * 0.05;
        while (senderBudget >= 1 && verdict == DeviceBackPressure::Flowing) {
            const qint64 piece = qMin(hold, qint64(senderBudget));
            senderBudget -= double(piece);
            queued += piece;
            sentAfterPause += now >= pausedToMs && pausedToMs > 0 ? piece : 0;
            verdict = pressure.update(queued, taken);
        }
        largestQueue = qMax(largestQueue, queued);
        // Held only while the device is behind: released once it has caught up.
        if (verdict == DeviceBackPressure::Hold)
            QVERIFY2(queued > pressure.releaseBytes(), qPrintable(QString::number(now)));
        if (verdict == DeviceBackPressure::Stalled && stalledAt < 0)
            stalledAt = now;
        if (now >= pausedToMs + 100 && pausedToMs > 0 && pausedToMs < 120000)
            QVERIFY2(verdict != DeviceBackPressure::Stalled, qPrintable(QString::number(now)));
    }
    QVERIFY(largestQueue <= 2 * hold);
    if (stalledAfterMs < 0) {
        QCOMPARE(stalledAt, qint64(-1));
    } else {
        // Counted from the last buffer the device was handed before it stopped.
        const qint64 bufferMs = DeviceBackPressure::kernelBufferBytes * 10000 / baud;
        const qint64 after = stalledAt - pausedFromMs;
        QVERIFY2(after >= stalledAfterMs - bufferMs - 50 && after <= stalledAfterMs + 100,
                 qPrintable(QString::number(after)));
    }
    // A device that reads again gets the sender's data again.
    if (pausedToMs > 0 && pausedToMs < 120000)
        QVERIFY(sentAfterPause > 0);
}

void tst_DeviceBackPressure::stallWindow_data()
{
    // Looks at the device, each as (ms, queued, taken), and what they leave.
    QTest::addColumn<int>("baud");
    QTest::addColumn<QList<qint64>>("looks");
    QTest::addColumn<qint64>("windowMs");
    QTest::addColumn<int>("verdict");

    const int held = DeviceBackPressure::Hold, stalled = DeviceBackPressure::Stalled;
    // A device that holds the line off for 20 s, then takes a buffer: that
    // step is no measure of its pace, and a later stop is found as soon.
    QTest::newRow("a step that ended a stall is not learnt")
            << 9600 << QList<qint64>({ 0, 8192, 0, 20000, 8192, 0, 20050, 4096, 4096 })
            << qint64(6400) << held;
    // The event loop came round late, but the device had gone on.
    QTest::newRow("a step longer than the window is not learnt")
            << 115200 << QList<qint64>({ 0, 50000, 0, 10000, 50000, 4096 }) << qint64(3000) << held;
    const QList<qint64> slowing = { 0,    50000, 0,     2500,  50000, 4096,  9500, 50000,
                                    8192, 29000, 50000, 12288, 58000, 50000, 16384 };
    QTest::newRow("steps of progress widen it, up to ten times the line's")
            << 115200 << slowing << qint64(30000) << held;
    QTest::newRow("it narrows once the queue is empty, and finds the next stop in time")
            << 115200
            << slowing + QList<qint64>({ 58100, 0, 66384, 58200, 4096, 66384, 61300, 4096, 66384 })
            << qint64(3000) << stalled;
}

void tst_DeviceBackPressure::stallWindow()
{
    QFETCH(int, baud);
    QFETCH(QList<qint64>, looks);
    QFETCH(qint64, windowMs);
    QFETCH(int, verdict);

    qint64 now = 0;
    DeviceBackPressure pressure([&now] { return now; });
    pressure.setBaudRate(baud);
    for (int i = 0; i + 2 < looks.size(); i += 3) {
        now = looks.at(i);
        pressure.update(looks.at(i + 1), looks.at(i + 2));
    }
    QCOMPARE(pressure.stallWindowMs(), windowMs);
    QCOMPARE(int(pressure.verdict()), verdict);
}

QTEST_APPLESS_MAIN(tst_DeviceBackPressure)
#include "tst_devicebackpressure.moc"

#include "nmea.h"
#include "deviceplayer.h"
#include "processes.h"

#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

// The receiver simulator, on a line of its own. The window's side of a
// receiver is tested with a device line that the test plays.
class tst_Simulator : public QObject
{
    Q_OBJECT

private slots:
    void checksums_data();
    void checksums();
    void fixSentences_data();
    void fixSentences();
    void badOptionsAreRefused_data();
    void badOptionsAreRefused();
    void streamsAndRecords();
    void hangsUp();
};

void tst_Simulator::checksums_data()
{
    QTest::addColumn<QString>("sentence");
    QTest::addColumn<bool>("valid");
    QTest::newRow("textbook GGA")
            << "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n"
            << true;
    QTest::newRow("one digit changed")
            << "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.5,M,46.9,M,,*47" << false;
    QTest::newRow("no checksum") << "$GPGGA,123519" << false;
    QTest::newRow("no dollar") << "GPGGA,1*47" << false;
}

void tst_Simulator::checksums()
{
    QFETCH(QString, sentence);
    QTEST(Nmea::hasValidChecksum(sentence.toStdString()), "valid");
}

void tst_Simulator::fixSentences_data()
{
    QTest::addColumn<double>("utc");
    QTest::addColumn<QString>("time");
    QTest::addColumn<QString>("date");
    QTest::newRow("the epoch") << 0.0 << "000000.00"
                               << "010170";
    QTest::newRow("hundredths") << 1796731201.25 << "120001.25"
                                << "081226";
    // Rounds to the next day rather than reading "235960.00".
    QTest::newRow("last hundredth of a day") << 86399.996 << "000000.00"
                                             << "020170";
    QTest::newRow("leap day") << 1709164800.5 << "000000.50"
                              << "290224";
}

// A fix is a GGA and an RMC sentence with the same time and position, the
// RMC one also with the date; both with valid checksums.
void tst_Simulator::fixSentences()
{
    QFETCH(double, utc);
    QFETCH(QString, time);
    QFETCH(QString, date);
    for (long fix : { 0L, 97L, 359L }) {
        const QByteArray gga = QByteArray::fromStdString(Nmea::ggaSentence(utc, fix));
        const QByteArray rmc = QByteArray::fromStdString(Nmea::rmcSentence(utc, fix));
        QVERIFY2(Nmea::hasValidChecksum(gga.toStdString()), gga.constData());
        QVERIFY2(Nmea::hasValidChecksum(rmc.toStdString()), rmc.constData());
        QVERIFY(gga.endsWith("\r\n") && rmc.endsWith("\r\n"));
        const QList<QByteArray> g = gga.split(','), r = rmc.split(',');
        QCOMPARE(g.size(), 15);
        QCOMPARE(r.size(), 13);
        QCOMPARE(g[0], QByteArray("$GPGGA"));
        QCOMPARE(r[0], QByteArray("$GPRMC"));
        QCOMPARE(QString(g[1]), time);
        QCOMPARE(QString(r[1]), time);
        QCOMPARE(r[2], QByteArray("A"));
        QCOMPARE(r.mid(3, 4), g.mid(2, 4));
        QCOMPARE(QString(r[9]), date);
    }
}

void tst_Simulator::badOptionsAreRefused_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("complaint");
    QTest::newRow("rate not a number")
            << QStringList({ "--rate", "abc" }) << "--rate: bad value 'abc'";
    QTest::newRow("rate 0") << QStringList({ "--rate", "0" }) << "--rate: bad value '0'";
    QTest::newRow("baud not a number") << QStringList({ "--baud", "x" }) << "--baud: bad value 'x'";
    QTest::newRow("baud no line speed")
            << QStringList({ "--baud", "12345" }) << "--baud: bad value";
    QTest::newRow("count negative")
            << QStringList({ "--count", "-3" }) << "--count: bad value '-3'";
    QTest::newRow("duration with a unit")
            << QStringList({ "--duration", "5s" }) << "--duration: bad value";
    QTest::newRow("value missing") << QStringList({ "--send" }) << "missing value: --send";
}

void tst_Simulator::badOptionsAreRefused()
{
    QFETCH(QStringList, options);
    QFETCH(QString, complaint);
    Simulator simulator;
    QVERIFY(simulator.start(options).isEmpty());
    QTRY_COMPARE(simulator.process.state(), QProcess::NotRunning);
    QCOMPARE(simulator.process.exitCode(), 2);
    QVERIFY2(simulator.process.readAllStandardError().contains(complaint.toUtf8()),
             qPrintable(complaint));
}

// Opens the simulator's line as a program on the other end would.
static bool openLine(QSerialPort &line, const QString &name)
{
    line.setPortName(name);
    return line.open(QIODevice::ReadWrite);
}

void tst_Simulator::streamsAndRecords()
{
    SKIP_WITHOUT_DEVICE_PLAYER();
    QTemporaryDir folder;
    const QString record = folder.filePath("received");
    Simulator simulator;
    QSerialPort line;
    QVERIFY(openLine(line, simulator.startOnDevicePlayer({ "--rate", "50", "--record", record })));
    const QByteArray commands("log gpgga ontime 5\r\ninterfacemode auto auto on\r\n");
    line.write(commands);

    // Whole sentences, each with a valid checksum.
    QByteArray streamed;
    QVERIFY(QTest::qWaitFor(
            [&] {
                streamed += line.readAll();
                return streamed.count("\r\n") >= 10;
            },
            5000));
    QList<QByteArray> sentences = streamed.split('\n');
    sentences.removeLast(); // may be cut short
    // The first may be the end of one written before the line was opened.
    sentences.removeFirst();
    for (const QByteArray &sentence : qAsConst(sentences))
        QVERIFY2(Nmea::hasValidChecksum(sentence.toStdString()), sentence.constData());

    const auto recorded = [&record] {
        QFile file(record);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    QTRY_COMPARE(recorded(), commands);

#ifdef Q_OS_UNIX
    // Asked to stop, it ends cleanly; Windows has no such request for a
    // console program, and the process is ended by its PID at the end.
    simulator.process.terminate();
    QVERIFY(simulator.process.waitForFinished(3000));
    QCOMPARE(simulator.process.exitCode(), 0);
#endif
}

void tst_Simulator::hangsUp()
{
#ifndef Q_OS_UNIX
    QSKIP("a null-modem cable stays when the simulator lets go of its end");
#endif
    Simulator simulator;
    QSerialPort line;
    QVERIFY(openLine(line, simulator.start({ "--rate", "20", "--hangup-after", "0.5" })));
    QTRY_VERIFY_WITH_TIMEOUT(line.error() == QSerialPort::ResourceError
                                     || line.error() == QSerialPort::ReadError,
                             5000);
    QTRY_COMPARE(simulator.process.state(), QProcess::NotRunning);
    QVERIFY(simulator.process.readAllStandardError().startsWith("hung up"));
}

QTEST_MAIN(tst_Simulator)
#include "tst_simulator.moc"

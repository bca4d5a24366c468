#include "nmea.h"
#include "testsupport.h"
#include "widget.h"

#include <QFile>
#include <QLineEdit>
#include <QNetworkDatagram>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QUdpSocket>
#include <QtTest>

// The receiver simulator, and the window driven by it.
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
    void bridgesASimulatedReceiver();
    void hangUpEndsTheLink();
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

void tst_Simulator::bridgesASimulatedReceiver()
{
    SKIP_WITHOUT_DEVICE_LINE();
    QTemporaryDir folder;
    const QString record = folder.filePath("received");
    Simulator simulator;
    const QString slave = simulator.startOnDeviceLine({ "--rate", "50", "--record", record });
    QVERIFY(!slave.isEmpty());

    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress(QHostAddress::LocalHost), 0));
    Widget window(fakeProbe({ slave }));
    waitForPortScan(window);
    connectUdpRole(window, peer.localPort());
    QTest::mouseClick(window.findChild<QWidget *>("ConnectBtn"), Qt::LeftButton);

    // Whole sentences arrive by UDP, each with a valid checksum.
    QByteArray forwarded;
    QVERIFY(QTest::qWaitFor(
            [&] {
                while (peer.hasPendingDatagrams())
                    forwarded += peer.receiveDatagram().data();
                return forwarded.count("\r\n") >= 10;
            },
            5000));
    QList<QByteArray> sentences = forwarded.split('\n');
    sentences.removeLast(); // may be cut short
    QVERIFY(sentences.size() >= 10);
    // The first may be the end of one written before the port was opened.
    sentences.removeFirst();
    for (const QByteArray &sentence : qAsConst(sentences))
        QVERIFY2(Nmea::hasValidChecksum(sentence.toStdString()), sentence.constData());
    QTRY_VERIFY(
            window.findChild<QTextEdit *>("textEdit_Servce")->toPlainText().contains("$GPGGA,"));

    QFile received(record);
    QVERIFY(received.open(QIODevice::ReadOnly));
    QCOMPARE(received.readAll(),
             QByteArray("log gpgga ontime 5\r\ninterfacemode auto auto on\r\n"));

#ifdef Q_OS_UNIX
    // Asked to stop, it ends cleanly; Windows has no such request for a
    // console program, and the process is ended by its PID at the end.
    simulator.process.terminate();
    QVERIFY(simulator.process.waitForFinished(3000));
    QCOMPARE(simulator.process.exitCode(), 0);
#endif
}

void tst_Simulator::hangUpEndsTheLink()
{
#ifndef Q_OS_UNIX
    QSKIP("a null-modem cable stays when the simulator lets go of its end");
#endif
    Simulator simulator;
    const QString slave = simulator.start({ "--rate", "20", "--hangup-after", "0.5" });
    QVERIFY(!slave.isEmpty());
    Widget window(fakeProbe({ slave }));
    waitForPortScan(window);
    auto *button = window.findChild<QPushButton *>("ConnectBtn");
    MessageBoxCloser boxes;
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(button->text(), QStringLiteral("串口关闭"));

    QTRY_COMPARE_WITH_TIMEOUT(boxes.texts, QStringList({ "串口连接已断开!" }), 5000);
    QCOMPARE(button->text(), QStringLiteral("串口连接"));
    QTRY_COMPARE(simulator.process.state(), QProcess::NotRunning);
    QVERIFY(simulator.process.readAllStandardError().startsWith("hung up"));
}

QTEST_MAIN(tst_Simulator)
#include "tst_simulator.moc"

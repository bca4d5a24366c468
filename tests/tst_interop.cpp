#include "tcpserver.h"
#include "processes.h"
#include "sockets.h"
#include "windowrig.h"
#include "widget.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

// The field's own tools as the window's peers, all on 127.0.0.1: gpsd takes a
// simulated receiver's fixes through the UDP and the TCP server role, and
// RTKLIB's str2str sends corrections to the receiver through the TCP client
// and the TCP server role.
class tst_Interop : public QObject
{
    Q_OBJECT

private slots:
    void gpsdTakesTheFixes_data();
    void gpsdTakesTheFixes();
    void str2strCorrectionsReachTheReceiver_data();
    void str2strCorrectionsReachTheReceiver();
};

namespace {

// A tool from the system's packages, also where root's tools live.
QString findTool(const QString &name)
{
    const QString onPath = QStandardPaths::findExecutable(name);
    return onPath.isEmpty() ? QStandardPaths::findExecutable(name, { "/usr/sbin", "/sbin" })
                            : onPath;
}

quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(loopback(), 0);
    return probe.localPort();
}

// True once something accepts connections on 127.0.0.1:port.
bool listening(quint16 port)
{
    return QTest::qWaitFor(
            [port] {
                QTcpSocket probe;
                probe.connectToHost(loopback(), port);
                return probe.waitForConnected(200);
            },
            5000);
}

quint32 crc24q(const QByteArray &bytes)
{
    quint32 crc = 0;
    for (char byte : bytes) {
        crc ^= quint32(quint8(byte)) << 16;
        for (int bit = 0; bit < 8; ++bit) {
            crc <<= 1;
            if (crc & 0x1000000)
                crc ^= 0x1864CFB;
        }
    }
    return crc & 0xFFFFFF;
}

// RTCM 3 frames whose payloads hold every byte value, of every length up to
// the largest: 0xD3, a ten-bit length, the payload and its CRC-24Q.
QByteArray rtcm3Corrections()
{
    QByteArray stream;
    for (int frame = 0; frame < 300; ++frame) {
        const int length = 1 + (frame * 97) % 1023;
        QByteArray message;
        message.append(char(0xD3)).append(char(length >> 8)).append(char(length & 0xFF));
        for (int i = 0; i < length; ++i)
            message.append(char((frame * 31 + i) & 0xFF));
        const quint32 crc = crc24q(message);
        stream += message;
        stream.append(char(crc >> 16)).append(char(crc >> 8)).append(char(crc));
    }
    return stream;
}

// What the window shows of the serial line, as one text: a sentence the
// line delivered in two reads is whole again.
QString streamed(WindowRig &rig)
{
    return rig.serialText().remove('\n');
}

} // namespace

void tst_Interop::gpsdTakesTheFixes_data()
{
    QTest::addColumn<int>("role");
    QTest::newRow("UDP role") << int(Widget::UdpRole);
    QTest::newRow("TCP server role") << int(Widget::TcpServerRole);
}

// gpsd reports fixes whose time, date, position and altitude are those of
// the GGA and RMC sentences the receiver streamed.
void tst_Interop::gpsdTakesTheFixes()
{
    QFETCH(int, role);
    const QString gpsd = findTool("gpsd"), gpspipe = findTool("gpspipe");
    if (gpsd.isEmpty() || gpspipe.isEmpty())
        QSKIP("needs gpsd and gpspipe (packages gpsd, gpsd-clients), which scripts/test.sh "
              "installs");

    Simulator simulator;
    const QString slave = simulator.start({ "--rate", "5" });
    QVERIFY(!slave.isEmpty());
    WindowRig rig({ slave });
    rig.click("ConnectBtn");

    // -b: gpsd only reads, rather than probing the receiver with commands
    // that the window would faithfully write to it.
    const quint16 gpsdPort = freeTcpPort();
    QStringList gpsdArguments{ "-N", "-n", "-b", "-S", QString::number(gpsdPort) };
    PeerProcess daemon;
    if (role == Widget::UdpRole) {
        const quint16 port = freeUdpPort();
        daemon.start(gpsd, gpsdArguments << QStringLiteral("udp://127.0.0.1:%1").arg(port));
        QVERIFY(rig.connectUdp(port));
    } else {
        const quint16 port = rig.startServer()->serverPort();
        daemon.start(gpsd, gpsdArguments << QStringLiteral("tcp://127.0.0.1:%1").arg(port));
    }
    QVERIFY2(listening(gpsdPort), "gpsd did not start");
    QCOMPARE(rig.boxes.texts, QStringList());

    PeerProcess pipe;
    pipe.start(gpspipe, { "-w", QStringLiteral("127.0.0.1:%1").arg(gpsdPort) });
    QList<QJsonObject> fixes;
    QVERIFY2(QTest::qWaitFor(
                     [&] {
                         while (pipe.canReadLine() && fixes.size() < 5) {
                             const QJsonObject report =
                                     QJsonDocument::fromJson(pipe.readLine()).object();
                             if (report["class"] == "TPV" && report["mode"].toInt() == 3
                                 && report.contains("time"))
                                 fixes.append(report);
                         }
                         return fixes.size() == 5;
                     },
                     15000),
             "gpsd reported no fixes");

    // NMEA time of day, "hhmmss.ss", of a fix.
    auto timeOfDay = [](const QDateTime &time) { return time.toString("hhmmss.zzz").chopped(1); };
    auto timeOf = [](const QJsonObject &fix) {
        return QDateTime::fromString(fix["time"].toString(), Qt::ISODateWithMs);
    };
    // The view may show the last sentences a refresh later than gpsd saw them.
    QTRY_VERIFY(streamed(rig).contains("$GPRMC," + timeOfDay(timeOf(fixes.last()))));
    const QString shown = streamed(rig);
    for (const QJsonObject &fix : qAsConst(fixes)) {
        const QDateTime time = timeOf(fix);
        QVERIFY2(time.isValid(), qPrintable(fix["time"].toString()));
        const QString hhmmss = QRegularExpression::escape(timeOfDay(time));
        const QRegularExpressionMatch gga =
                QRegularExpression("\\$GPGGA," + hhmmss
                                   + ",(\\d\\d)(\\d\\d\\.\\d+),N,(\\d{3})(\\d\\d\\.\\d+),E,1,\\d+,["
                                     "\\d.]+,([\\d.]+),M")
                        .match(shown);
        QVERIFY2(gga.hasMatch(), qPrintable("no GGA sentence at " + hhmmss));
        QVERIFY2(shown.contains(QRegularExpression("\\$GPRMC," + hhmmss + ",A,[^*]*,"
                                                   + time.toString("ddMMyy") + ",")),
                 qPrintable("no RMC sentence at " + time.toString(Qt::ISODateWithMs)));
        const double latitude = gga.captured(1).toDouble() + gga.captured(2).toDouble() / 60;
        const double longitude = gga.captured(3).toDouble() + gga.captured(4).toDouble() / 60;
        QVERIFY2(qAbs(fix["lat"].toDouble() - latitude) < 1e-8, qPrintable(hhmmss));
        QVERIFY2(qAbs(fix["lon"].toDouble() - longitude) < 1e-8, qPrintable(hhmmss));
        QCOMPARE(fix["altMSL"].toDouble(), gga.captured(5).toDouble());
    }
}

void tst_Interop::str2strCorrectionsReachTheReceiver_data()
{
    QTest::addColumn<int>("role");
    QTest::newRow("str2str serves, TCP client role") << int(Widget::TcpClientRole);
    QTest::newRow("str2str connects, TCP server role") << int(Widget::TcpServerRole);
}

// Corrections relayed by str2str reach the receiver and the capture file
// byte for byte.
void tst_Interop::str2strCorrectionsReachTheReceiver()
{
    QFETCH(int, role);
    const QString str2str = findTool("str2str");
    if (str2str.isEmpty())
        QSKIP("needs str2str (package rtklib), which scripts/test.sh installs");
    // The frames' check sum is CRC-24Q: a frame whose CRC is known.
    QCOMPARE(crc24q(QByteArray::fromHex("D300133ED7D30202980EDEEF34B4BD62AC0941986F33")),
             0x360B98u);

    QTemporaryDir folder;
    CaptureDirectory capture(folder.path());
    const QString record = folder.filePath("received");
    Simulator simulator;
    const QString slave = simulator.start({ "--count", "0", "--record", record });
    QVERIFY(!slave.isEmpty());
    WindowRig rig({ slave });
    rig.click("ConnectBtn");

    // str2str relays what it reads on its standard input.
    PeerProcess relay;
    if (role == Widget::TcpClientRole) {
        const quint16 port = freeTcpPort();
        relay.start(str2str, { "-out", QStringLiteral("tcpsvr://:%1").arg(port) });
        QVERIFY2(listening(port), "str2str did not listen");
        QVERIFY(rig.connectClient(port));
    } else {
        auto *server = rig.startServer();
        QSignalSpy arrivals(server, &TcpServer::addClientLink);
        relay.start(str2str,
                    { "-out", QStringLiteral("tcpcli://127.0.0.1:%1").arg(server->serverPort()) });
        QVERIFY2(arrivals.wait(5000), "str2str did not connect");
    }
    QCOMPARE(rig.boxes.texts, QStringList());

    // str2str drops what its socket cannot take at once, so it is fed at
    // about 400 kB/s rather than all in one go.
    const QByteArray corrections = rtcm3Corrections();
    for (int at = 0; at < corrections.size(); at += 4096) {
        relay.write(corrections.mid(at, 4096));
        QTest::qWait(10);
    }
    QTRY_COMPARE_WITH_TIMEOUT(capture.captured().size(), corrections.size(), 10000);
    QVERIFY(capture.captured() == corrections);

    // The receiver got its two command lines, then every correction.
    QFile received(record);
    QTRY_COMPARE(received.size(), 48 + corrections.size());
    QVERIFY(received.open(QIODevice::ReadOnly));
    QVERIFY(received.readAll().mid(48) == corrections);
}

QTEST_MAIN(tst_Interop)
#include "tst_interop.moc"

#include "fakeserialports.h"
#include "processes.h"
#include "sockets.h"
#include "windowrig.h"
#include "widget.h"

#include <QApplication>
#include <QComboBox>
#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <atomic>
#include <cstdio>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

// Faults under load, with the simulator playing the receiver on a port that
// the system lists like a USB adapter.
class tst_Faults : public QObject
{
    Q_OBJECT

private slots:
    void streamSurvivesClientChurn();
    void unpluggedMidStreamAndPluggedBack();
    void hostilePeers_data();
    void hostilePeers();
};

#ifdef TAVRIK_SANITIZE
static const int streamSize = 10 * 1000 * 1000;
static const int bulkMiB = 20;
#else
static const int streamSize = 50 * 1000 * 1000;
static const int bulkMiB = 100;
#endif

void tst_Faults::streamSurvivesClientChurn()
{
    QTemporaryDir folder;
    QByteArray stream;
    stream.reserve(streamSize + 100);
    for (int i = 0; stream.size() < streamSize; ++i)
        stream += "$GPGGA," + QByteArray::number(i)
                + ",4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,\r\n";
    stream.truncate(streamSize);
    QFile file(folder.filePath("stream"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(stream) == stream.size());
    file.close();

    Simulator simulator;
    const QString slave = simulator.start({ "--wait", "--count", "0", "--send", file.fileName() });
    QVERIFY(!slave.isEmpty());
    FakeSerialPorts adapters;
    const QString port = adapters.plug(slave);
    QVERIFY(!port.isEmpty());

    WindowRig rig(SystemProbe::live());
    QCOMPARE(rig.find<QComboBox>("ComBC")->currentText(), port);
    auto *server = rig.startServer();
    QVERIFY(server);

    QTcpSocket steady;
    QByteArray received;
    connect(&steady, &QTcpSocket::readyRead, this, [&] { received += steady.readAll(); });
    steady.connectToHost(loopback(), server->serverPort());
    QVERIFY(steady.waitForConnected(3000));

    // Another client connects and drops every 100 ms all along.
    int churns = 0;
    std::unique_ptr<QTcpSocket> churning;
    QTimer churn;
    connect(&churn, &QTimer::timeout, this, [&] {
        if (churning)
            churning->abort();
        churning = std::make_unique<QTcpSocket>();
        churning->connectToHost(loopback(), server->serverPort());
        ++churns;
    });
    churn.start(100);

    rig.click("ConnectBtn");
    QTRY_VERIFY_WITH_TIMEOUT(received.size() >= stream.size(), 100000);
    churn.stop();
    QCOMPARE(received.size(), stream.size());
    QVERIFY(received == stream);
    QVERIFY(churns >= 3);
}

void tst_Faults::unpluggedMidStreamAndPluggedBack()
{
    FakeSerialPorts adapters;
    auto first = std::make_unique<Simulator>();
    QString slave = first->start({ "--wait", "--rate", "max", "--hangup-after", "1" });
    QVERIFY(!slave.isEmpty());
    const QString port = adapters.plug(slave);

    WindowRig rig(SystemProbe::live());
    rig.click("ConnectBtn");
    QTRY_VERIFY(rig.serialText().contains("$GPGGA"));

    // The simulator hangs up mid-stream; the adapter leaves the system.
    QTRY_COMPARE_WITH_TIMEOUT(rig.caption("ConnectBtn"), QStringLiteral("串口连接"), 5000);
    adapters.unplug(port);
    first.reset();

    // It comes back under a new name, which only the system's list tells.
    Simulator second;
    slave = second.start({ "--wait", "--rate", "100" });
    const QString again = adapters.plug(slave);
    rig.click("CheckBtn");
    QVERIFY(waitForPortScan(rig.window));
    QCOMPARE(itemTexts(rig.find<QComboBox>("ComBC")), QStringList({ again }));
    rig.click("ClearBtn");
    rig.click("ConnectBtn");
    QTRY_VERIFY(rig.serialText().contains("$GPGGA"));
    // One box for the hang-up, however fast the stream was.
    QCOMPARE(rig.boxes.texts, QStringList({ "串口连接已断开!" }));
}

void tst_Faults::hostilePeers_data()
{
    QTest::addColumn<QString>("attack");
    QTest::newRow("100,000 small datagrams") << "datagrams";
    QTest::newRow("1000 quick connects") << "connects";
    QTest::newRow("clients that reset mid-write") << "resets";
    QTest::newRow("one client sends a stream in one go") << "bulk";
}

void tst_Faults::hostilePeers()
{
    // While a peer misbehaves, the receiver's stream still reaches a
    // well-behaved peer, and every byte that the bridge took from the
    // hostile one reaches the device and the capture file.
    QFETCH(QString, attack);
    QTemporaryDir folder;
    CaptureDirectory capture(folder.path());
    DeviceWindowRig rig;
    DevicePlayer &device = rig.device;
    QVERIFY(rig.openSerial());

    QUdpSocket udpPeer;
    QTcpSocket tcpPeer;
    QIODevice *peer = &tcpPeer;
    quint16 port = 0;
    const bool udp = attack == QLatin1String("datagrams");
    if (udp) {
        QVERIFY(udpPeer.bind(loopback(), 0));
        QVERIFY(rig.connectUdp(udpPeer.localPort()));
        port = rig.udpPort();
        peer = &udpPeer;
    } else {
        port = rig.startServer()->serverPort();
        tcpPeer.connectToHost(loopback(), port);
        QVERIFY(tcpPeer.waitForConnected(3000));
    }

    std::atomic<bool> done{ false };
    std::atomic<bool> mayClose{ false };
    std::atomic<long long> accepted{ 0 }; // bytes the hostile peer got through its socket
    std::thread hostile([&] {
        if (attack == QLatin1String("datagrams")) {
            const int fd = connectedSocket(port, Transport::Udp);
            for (int i = 0; i < 100000; ++i)
                ::send(fd, "0123456789abcdef", 16, 0);
            closeSocket(fd);
        } else if (attack == QLatin1String("connects")) {
            for (int i = 0; i < 1000; ++i)
                closeSocket(connectedSocket(port));
        } else if (attack == QLatin1String("resets")) {
            const QByteArray block(64 * 1024, 'r');
            for (int i = 0; i < 100; ++i) {
                const int fd = connectedSocket(port);
                const ssize_t n = ::send(fd, block.constData(), size_t(block.size()), MSG_NOSIGNAL);
                accepted += qMax<ssize_t>(n, 0);
                closeSocket(fd, true);
            }
        } else {
            const QByteArray block(1024 * 1024, 'b');
            const int fd = connectedSocket(port);
            for (int i = 0; i < bulkMiB; ++i)
                accepted += qMax<ssize_t>(
                        ::send(fd, block.constData(), size_t(block.size()), MSG_NOSIGNAL), 0);
            // Closed with the receiver's sentences unread, the socket would
            // reset the link, and the kernel would drop what the window has
            // not read yet: the end of sending is told by a FIN instead.
            shutdown(fd, SHUT_WR);
            done = true;
            while (!mayClose)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ::close(fd);
        }
        done = true;
    });
    const auto joinHostile = qScopeGuard([&] {
        mayClose = true;
        hostile.join();
    });

    // The receiver streams all along; the device side takes whatever comes.
    qint64 atDevice = 0;
    int sentences = 0;
    QByteArray forwarded;
    QElapsedTimer clock;
    clock.start();
    while ((!done || sentences < 20) && clock.elapsed() < 60000) {
        QVERIFY(device.write("$GPGGA," + QByteArray::number(sentences++) + "\r\n"));
        atDevice += device.read(INT_MAX, 10).size();
        forwarded += udp ? udpPeer.receiveDatagram().data() : tcpPeer.readAll();
    }
    QVERIFY(done);
    const QByteArray last = "$GPGGA," + QByteArray::number(sentences - 1) + "\r\n";
    for (int i = 0; i < 300 && !forwarded.endsWith(last); ++i) {
        atDevice += device.read(INT_MAX, 10).size();
        while (udp ? udpPeer.hasPendingDatagrams() : peer->bytesAvailable() > 0)
            forwarded += udp ? udpPeer.receiveDatagram().data() : tcpPeer.readAll();
    }
    QVERIFY(forwarded.endsWith(last));
    QCOMPARE(rig.caption("pBtnNetCnnt"), QStringLiteral("断开网络"));

    // The rest of what the bridge took reaches the device, at the line's pace
    // and in the peers' turns, and all of it the capture.
    const auto capturedSize = [&] { return QFileInfo(capture.captureFile()).size(); };
    const qint64 expected = attack == QLatin1String("bulk") ? accepted.load() : 0;
    for (int i = 0; i < 3000 && !udp && atDevice < qMax(capturedSize(), expected); ++i)
        atDevice += device.read(INT_MAX, 10).size();
    atDevice += device.readFor(300).size();
    // Datagrams beyond what the line takes in two seconds go only to the capture.
    const qint64 captured = capturedSize();
    if (udp)
        QVERIFY(atDevice > 0 && atDevice <= captured);
    else
        QCOMPARE(captured, atDevice);
    if (attack == QLatin1String("bulk"))
        QCOMPARE(atDevice, accepted.load());
    else if (attack == QLatin1String("resets"))
        QVERIFY(atDevice <= accepted);
}

int main(int argc, char *argv[])
{
    return FakeSerialPorts::runTest<tst_Faults>(argc, argv);
}

#include "tst_faults.moc"

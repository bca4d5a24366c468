#include "devicebackpressure.h"
#include "paragraphlog.h"
#include "tcpserver.h"
#include "processes.h"
#include "sockets.h"
#include "windowrig.h"
#include "widget.h"

#include <QApplication>
#include <QProcess>
#include <QSerialPort>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextEdit>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>

#include <thread>

#ifdef Q_OS_UNIX
#  include <arpa/inet.h>
#  include <netinet/in.h>
#  include <sys/resource.h>
#  include <sys/socket.h>
#  include <sys/stat.h>
#  include <time.h>
#  include <unistd.h>
#endif

#ifdef TAVRIK_TEST_XCB
#  include <xcb/xcb.h>
#endif

namespace {
// A server for the TCP client role, holding the one connection it accepts.
struct RemoteServer
{
    QTcpServer listener;
    QTcpSocket *peer = nullptr;
    RemoteServer() { listener.listen(loopback(), 0); }
    bool accept()
    {
        if (!listener.waitForNewConnection(3000))
            return false;
        peer = listener.nextPendingConnection();
        return peer != nullptr;
    }
};
} // namespace

// The window as a bridge: network roles, links and data in both directions,
// with a pseudo-terminal as the receiver and loopback peers.
class tst_Bridge : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { SKIP_WITHOUT_DEVICE_PLAYER(); }
    void udpBothWays();
    void networkDataToDevice_data();
    void networkDataToDevice();
    void largeSerialReadIsNotLost();
    void udpTargetNotListening();
    void udpTargetThatIsNotAnAddress_data();
    void udpTargetThatIsNotAnAddress();
    void deviceThatTakesNothing_data();
    void deviceThatTakesNothing();
    void tcpUploadToADeviceThatReads_data();
    void tcpUploadToADeviceThatReads();
    void heldClientLeaves_data();
    void heldClientLeaves();
    void captureFileFails();
    void tcpServerRole();
    void tcpClientBothWays();
    void tcpClientLosesTheServer_data();
    void tcpClientLosesTheServer();
    void tcpClientCloseWithQueuedData_data();
    void tcpClientCloseWithQueuedData();
    void serverOutOfDescriptors_data();
    void serverOutOfDescriptors();
    void closingTheWindow_data();
    void closingTheWindow();

private:
    struct Rig : DeviceWindowRig
    {
        QTemporaryDir folder;
        CaptureDirectory capture{ folder.path() };

        // The serial link open and the UDP role sending to `peer`, which is
        // bound here on loopback.
        [[nodiscard]] bool openUdpLinkTo(QUdpSocket &peer)
        {
            return peer.bind(loopback(), 0) && openSerial() && connectUdp(peer.localPort());
        }
        // The serial link open and the TCP client role connected to `remote`,
        // whose peer is the accepted connection.
        [[nodiscard]] bool openLinkTo(RemoteServer &remote)
        {
            return openSerial() && connectClient(remote.listener.serverPort()) && remote.accept();
        }
    };
};

void tst_Bridge::udpBothWays()
{
    QUdpSocket peer;
    Rig rig;
    QVERIFY(rig.openUdpLinkTo(peer));

    // Serial to network: the datagram is the read, byte for byte.
    const QByteArray sentence("$GPGGA,1\r\n\0tail\r\n", 18);
    QVERIFY(rig.device.write(sentence));
    QTRY_VERIFY(peer.hasPendingDatagrams());
    QNetworkDatagram datagram = peer.receiveDatagram();
    QCOMPARE(datagram.data(), sentence);
    QTRY_COMPARE(rig.serialText(), QStringLiteral("$GPGGA,1 "));

    // Network to serial and capture file.
    TraceLog trace;
    const QByteArray correction("\xd3\x00\x13\0RTCM\r\n", 10);
    peer.writeDatagram(correction, loopback(), rig.udpPort());
    QCOMPARE(rig.device.read(correction.size()), correction);
    QCOMPARE(rig.capture.captured(), correction);
    QCOMPARE(trace.lines().first(), QStringLiteral("向串口写入数据正确"));
    QVERIFY(trace.lines().at(1).startsWith(QStringLiteral("写数据的大小: ")));
    QCOMPARE(trace.lines().at(2), QStringLiteral("向文件写入数据正确"));

    peer.writeDatagram("second", loopback(), rig.udpPort());
    QCOMPARE(rig.device.read(6), QByteArray("second"));
    QCOMPARE(rig.capture.captured(), correction + "second");
}

void tst_Bridge::networkDataToDevice_data()
{
    QTest::addColumn<bool>("serialOpen");
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("firstTrace");

    // How a block shows is the display text's test; these rows show that it
    // reaches the view, and what the device and the trace see.
    QTest::newRow("CR LF removed") << true << QByteArray("OK\r\n") << "OK"
                                   << "向串口写入数据正确";
    QTest::newRow("CR LF only: no paragraph") << true << QByteArray("\r\n") << ""
                                              << "向串口写入数据正确";
    QTest::newRow("empty datagram") << true << QByteArray() << ""
                                    << "向串口写入数据错误";
    const QByteArray largest(Widget::maxDatagramSize, 'F');
    QTest::newRow("largest datagram, no break: shown shortened")
            << true << largest
            << QString(ParagraphLog::maxParagraphCharacters, 'F')
                    + QStringLiteral(" \u2026(+%1)")
                              .arg(largest.size() - ParagraphLog::maxParagraphCharacters)
            << "向串口写入数据正确";
    // Nothing reaches a device, so nothing may look written.
    QTest::newRow("serial link closed") << false << QByteArray("OK\r\n") << ""
                                        << "向串口写入数据错误";
}

void tst_Bridge::networkDataToDevice()
{
    QFETCH(bool, serialOpen);
    QFETCH(QByteArray, datagram);
    QFETCH(QString, shown);

    QUdpSocket peer;
    Rig rig;
    QVERIFY(rig.openUdpLinkTo(peer));
    peer.writeDatagram("before", loopback(), rig.udpPort());
    QCOMPARE(rig.device.read(6), QByteArray("before"));
    if (!serialOpen)
        rig.click("ConnectBtn");

    TraceLog trace;
    peer.writeDatagram(datagram, loopback(), rig.udpPort());
    QTRY_VERIFY(trace.lines().contains("向文件写入数据正确"));
    QTEST(trace.lines().first(), "firstTrace");
    // Once the device has it: a datagram sent sooner would find the largest
    // one still waiting beyond the device's bound.
    QCOMPARE(rig.device.read(datagram.size()), serialOpen ? datagram : QByteArray());
    peer.writeDatagram("after", loopback(), rig.udpPort());
    QTRY_COMPARE(trace.count("向文件写入数据正确"), 2);

    QCOMPARE(rig.device.readFor(100), serialOpen ? QByteArray("after") : QByteArray());
    const QStringList expected = serialOpen && !shown.isEmpty()
            ? QStringList({ "before", shown, "after" })
            : serialOpen ? QStringList({ "before", "after" })
                         : QStringList({ "before" });
    QTRY_COMPARE(rig.netText(), expected.join('\n'));
    QTest::qWait(2 * ParagraphLog::refreshIntervalMs);
    QCOMPARE(rig.netText(), expected.join('\n'));
    QCOMPARE(rig.capture.captured(), "before" + datagram + "after");
}

void tst_Bridge::largeSerialReadIsNotLost()
{
    // A read too large for one datagram leaves as several, nothing dropped;
    // a line with no break anywhere shows shortened, but leaves whole.
    QUdpSocket peer;
    Rig rig;
    QVERIFY(rig.openUdpLinkTo(peer));
    peer.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4 * 1024 * 1024);

    QByteArray burst;
    for (int i = 0; burst.size() < 200 * 1024; ++i)
        burst += QByteArray::number(i) + ",$GPGGA,123519,4807.038,N,01131.000,E\r\n";
    for (int i = 0; burst.size() < 1200 * 1024; ++i)
        burst += QByteArray::number(i % 10);
    QVERIFY(rig.device.write(burst));

    QByteArray received;
    int largest = 0;
    QVERIFY(QTest::qWaitFor(
            [&] {
                while (peer.hasPendingDatagrams()) {
                    const QByteArray data = peer.receiveDatagram().data();
                    largest = qMax(largest, data.size());
                    received += data;
                }
                return received.size() >= burst.size();
            },
            10000));
    QVERIFY(largest <= Widget::maxDatagramSize);
    QCOMPARE(received.size(), burst.size());
    QVERIFY(received == burst);
    // The view's refresh timer may fire a little late on a busy machine:
    // wait for the shortened lines rather than for a fixed time.
    QTextDocument *shown = rig.find<QTextEdit>("textEdit_Servce")->document();
    QTRY_VERIFY(shown->toPlainText().contains(QStringLiteral(" \u2026(+")));
    for (QTextBlock block = shown->begin(); block.isValid(); block = block.next())
        QVERIFY(block.length() <= ParagraphLog::maxParagraphCharacters + 16);
}

void tst_Bridge::udpTargetNotListening()
{
    // Datagrams to a closed port draw ICMP errors; the stream goes on, and a
    // peer that starts listening later gets what comes from then on.
    quint16 port = 0;
    {
        QUdpSocket probe;
        QVERIFY(probe.bind(loopback(), 0));
        port = probe.localPort();
    }
    Rig rig;
    QVERIFY(rig.openSerial());
    QVERIFY(rig.connectUdp(port));
    for (int i = 0; i < 20; ++i) {
        QVERIFY(rig.device.write("$GPGGA," + QByteArray::number(i) + "\r\n"));
        QTest::qWait(5);
    }
    QTRY_VERIFY(rig.serialText().contains("$GPGGA,19 "));
    QCOMPARE(rig.caption("pBtnNetCnnt"), QStringLiteral("断开网络"));

    QUdpSocket late;
    QVERIFY(late.bind(loopback(), port));
    QVERIFY(rig.device.write("$GPGGA,later\r\n"));
    QTRY_VERIFY(late.hasPendingDatagrams());
    QCOMPARE(late.receiveDatagram().data(), QByteArray("$GPGGA,later\r\n"));
    QVERIFY(rig.boxes.texts.isEmpty());
}

void tst_Bridge::udpTargetThatIsNotAnAddress_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("out of range") << "999.1.1.1";
    QTest::newRow("host name") << "localhost";
    QTest::newRow("empty") << "";
}

void tst_Bridge::udpTargetThatIsNotAnAddress()
{
    // The earlier, valid target must not be used behind the operator's back.
    QFETCH(QString, target);
    QUdpSocket peer;
    Rig rig;
    QVERIFY(rig.openUdpLinkTo(peer));
    rig.click("pBtnNetCnnt");
    rig.setText("lEditUdpIP", target);
    rig.click("pBtnNetCnnt");
    QCOMPARE(rig.caption("pBtnNetCnnt"), QStringLiteral("断开网络"));

    QVERIFY(rig.device.write("$GPGGA,4\r\n"));
    QTRY_VERIFY(rig.serialText().contains("$GPGGA,4"));
    QVERIFY(!peer.waitForReadyRead(200));
}

void tst_Bridge::deviceThatTakesNothing_data()
{
    QTest::addColumn<int>("role");
    QTest::newRow("UDP: dropped past the bound") << int(Widget::UdpRole);
    QTest::newRow("TCP server: dropped once the device counts as stalled")
            << int(Widget::TcpServerRole);
}

void tst_Bridge::deviceThatTakesNothing()
{
    // The device side never reads: the queue towards it stops at its bound,
    // the peer is not held back for ever, and the capture file gets every byte.
    QFETCH(int, role);
    QUdpSocket peer;
    QTcpSocket client;
    Rig rig;
    auto *port = rig.find<QSerialPort>();
    const QByteArray block(60000, 'c');
    const int blocks = 100;
    TraceLog trace;
    if (role == Widget::UdpRole) {
        QVERIFY(rig.openUdpLinkTo(peer));
        for (int i = 0; i < blocks; ++i) {
            peer.writeDatagram(block, loopback(), rig.udpPort());
            QTRY_COMPARE(trace.count("向文件写入数据正确"), i + 1);
        }
    } else {
        QVERIFY(rig.openSerial());
        client.connectToHost(loopback(), rig.startServer()->serverPort());
        QVERIFY(client.waitForConnected(3000));
        for (int i = 0; i < blocks; ++i)
            client.write(block);
        QTRY_COMPARE_WITH_TIMEOUT(rig.capture.captured().size(), blocks * block.size(),
                                  DeviceBackPressure::stallMs + 10000);
    }
    QVERIFY(trace.count("向串口写入数据错误") > 0);
    // Two seconds of a 115200-baud line, and the block that went over them.
    QVERIFY(port->bytesToWrite() <= DeviceBackPressure::holdSeconds * 11520 + block.size());
    QCOMPARE(rig.capture.captured().size(), blocks * block.size());
}

void tst_Bridge::tcpUploadToADeviceThatReads_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("pausesMs"); // before each of the device's first reads
    QTest::newRow("reads as fast as it can") << 16 * 1024 * 1024 << QList<int>();
    // A pseudo-terminal tells nothing of what it still holds: the window sees
    // the device's pace only as it reads, here at last more seldom than the
    // line's stall window.
    QTest::newRow("reads a few KiB at a time, at last every 4 s")
            << 256 * 1024 << QList<int>({ 1500, 1500, 1500, 4000, 4000, 4000 });
}

void tst_Bridge::tcpUploadToADeviceThatReads()
{
    // A device slower than the network holds the client back; nothing is lost.
    QFETCH(int, size);
    QFETCH(QList<int>, pausesMs);
#ifdef Q_OS_WIN
    // The window hands the port every byte (its trace shows all of them
    // handed within 17 s), but once the far end's bounded read buffer has
    // filled, the device's COM port under Wine delivers only part of the
    // rest to the test.
    if (!pausesMs.isEmpty())
        QSKIP("under Wine the device's COM port stops delivering after its read buffer filled");
#endif
    Rig rig;
    QVERIFY(rig.openSerial());
    const quint16 port = rig.startServer()->serverPort();
    QByteArray upload(size, Qt::Uninitialized);
    for (int i = 0; i < upload.size(); ++i)
        upload[i] = char(i * 7 + i / 65536);
    // The client stays until the device has it all.
    int client = -1;
    std::thread sender([&upload, &client, port] {
        client = connectedSocket(port);
        sendAll(client, upload);
    });
    QByteArray received;
    for (int pause : qAsConst(pausesMs)) {
        QTest::qWait(pause);
        received += rig.device.read(1);
    }
    received += rig.device.read(upload.size() - received.size(), 60000);
    sender.join();
    closeSocket(client);
    QCOMPARE(received.size(), upload.size());
    QVERIFY(received == upload);
    QTRY_COMPARE(rig.capture.captured().size(), upload.size());
    QVERIFY(rig.capture.captured() == upload);
}

void tst_Bridge::heldClientLeaves_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("fromBBytes");
    QTest::newRow("client resets") << "reset" << 2 * 1024 * 1024;
    QTest::newRow("client closes") << "close" << 2 * 1024 * 1024;
    // Its socket has read all of it, and the close, while reading is held.
    QTest::newRow("client closes after a short block") << "close" << 1000;
    QTest::newRow("serial link closed meanwhile") << "serial closed" << 2 * 1024 * 1024;
}

void tst_Bridge::heldClientLeaves()
{
    // Reading is held for a device that takes nothing while client A pushes
    // more than it can take; client B sends, then goes, or the operator
    // closes the serial link. What the window has read of B reaches the
    // capture file, before B's departure is announced.
    QFETCH(QString, how);
#ifdef Q_OS_WIN
    // Its clients push megabytes through blocking sends that a held window
    // does not take; under Wine a send blocked so is not woken by shutdown(),
    // and the test could wait for its pushers for ever.
    QSKIP("under Wine a blocked send of the test's clients cannot be stopped");
#endif
    Rig rig;
    QVERIFY(rig.openSerial());
    auto *server = rig.startServer();
    const int a = connectedSocket(server->serverPort());
    int b = connectedSocket(server->serverPort());
    QTRY_COMPARE(server->clientCount(), 2);
    std::thread pushA([a] { sendAll(a, QByteArray(8 * 1024 * 1024, 'a')); });
    const auto cleanUp = qScopeGuard([&] {
        shutdownSocket(a);
        pushA.join();
        closeSocket(a);
        if (b >= 0)
            closeSocket(b);
    });
    QFETCH(int, fromBBytes);
    const QByteArray fromB(fromBBytes, 'b');
    // A short block comes once A has filled the line and reading is held
    // (until the device counts as stalled, after 3 s).
    // A held client's socket buffers one piece: the device's bound.
    DeviceBackPressure line;
    line.setBaudRate(115200);
    const qint64 piece = line.holdBytes();
    const bool shortBlock = fromB.size() < piece;
    if (shortBlock)
        QTest::qWait(500);
    std::thread([b, &fromB] { sendAll(b, fromB); }).join();
    // The device reads, but slower than A sends: reading stays held, and is
    // released in short spells.
    const auto deviceReadsUntil = [&rig](const std::function<bool()> &done) {
        for (int i = 0; i < 1000 && !done(); ++i)
            rig.device.read(4096, 20);
        return done();
    };
    // B's socket in the window holds a full read buffer, or all of a short block.
    const auto bHolds = [server, &fromB, piece] {
        for (auto *socket : server->findChildren<QTcpSocket *>())
            if (socket->readBufferSize() == piece
                && socket->bytesAvailable() == qMin<qint64>(fromB.size(), piece)
                && socket->peek(1) == "b")
                return true;
        return false;
    };
    if (shortBlock)
        QTRY_VERIFY_WITH_TIMEOUT(bHolds(), 1000);
    else
        QVERIFY(deviceReadsUntil(bHolds));
    const int fromBBeforeDeparture = rig.capture.captured().count('b');
    int fromBAtDeparture = -1;
    connect(server, &TcpServer::removeClientLink, this,
            [&] { fromBAtDeparture = rig.capture.captured().count('b'); });

    if (how == QLatin1String("serial closed")) {
        rig.click("ConnectBtn");
        QTRY_COMPARE(rig.capture.captured().count('b'), fromB.size());
        return;
    }
    const bool reset = how == QLatin1String("reset");
    closeSocket(std::exchange(b, -1), reset);
    // The receiver's next sentence finds the reset on its way to B, long
    // before reading gets that far, and Qt then drops what the socket holds.
    if (reset)
        QVERIFY(rig.device.write("$GPGGA,7\r\n"));
    // Its departure shows once what the window read of it has had its turns.
    QVERIFY(deviceReadsUntil([&] { return fromBAtDeparture >= 0; }));
    // After a reset, what the kernel still held of B is gone; what the
    // window had read is not.
    QVERIFY2(reset ? fromBAtDeparture >= fromBBeforeDeparture + piece
                   : fromBAtDeparture == fromB.size(),
             qPrintable(QString::number(fromBAtDeparture)));
}

#ifdef Q_OS_UNIX
void tst_Bridge::captureFileFails()
{
    // What the capture file does where it cannot write is its own test's:
    // here the device gets each block once, and the stream goes on.
    QUdpSocket peer;
    Rig rig;
    QVERIFY(QDir(rig.folder.path()).rmdir("D:"));
    QVERIFY(rig.openUdpLinkTo(peer));
    TraceLog trace;
    const auto tracedFailures = [&] { return trace.count("Can't open file for writing"); };
    peer.writeDatagram("one", loopback(), rig.udpPort());
    QCOMPARE(rig.device.read(3), QByteArray("one"));
    QTRY_COMPARE(tracedFailures(), 1);
    peer.writeDatagram("two", loopback(), rig.udpPort());
    // The buffer is emptied all the same: the device does not get "one" again.
    QCOMPARE(rig.device.read(3), QByteArray("two"));
    QVERIFY(rig.device.readFor(100).isEmpty());
    QCOMPARE(trace.count("向串口写入数据正确"), 2);
    QCOMPARE(tracedFailures(), 2);
    QVERIFY(rig.device.write("$GPGGA,5\r\n"));
    QTRY_VERIFY(peer.hasPendingDatagrams());
    QCOMPARE(peer.receiveDatagram().data(), QByteArray("$GPGGA,5\r\n"));
}
#else
void tst_Bridge::captureFileFails()
{
    QSKIP("removes the capture's folder, which is drive D: on Windows");
}
#endif

void tst_Bridge::tcpServerRole()
{
    Rig rig;
    QVERIFY(rig.openSerial());
    auto *server = rig.startServer();
    QCOMPARE(rig.state(), QStringLiteral("建立TCP服务器成功"));
    QCOMPARE(rig.caption("pBtnNetCnnt"), QStringLiteral("断开网络"));
    QVERIFY(server && server->isListening());
    QCOMPARE(server->serverAddress(), loopback());

    std::vector<std::unique_ptr<QTcpSocket>> clients;
    QStringList arrivals;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(loopback(), server->serverPort());
        QVERIFY(clients.back()->waitForConnected(3000));
        arrivals << QStringLiteral("客户端已连接: 127.0.0.1:%1").arg(clients.back()->localPort());
        QTRY_COMPARE(server->clientCount(), i + 1);
    }
    QTRY_COMPARE(rig.netText(), arrivals.join('\n'));

    // From one client to the device, not to the other clients.
    clients[1]->write(QByteArray("cmd\0\r\n", 6));
    QCOMPARE(rig.device.read(6), QByteArray("cmd\0\r\n", 6));
    QCOMPARE(rig.capture.captured(), QByteArray("cmd\0\r\n", 6));

    // From the device to every client.
    QVERIFY(rig.device.write("$GPGGA,2\r\n"));
    for (auto &client : clients)
        QCOMPARE(readAtLeast(client.get(), 10), QByteArray("$GPGGA,2\r\n"));

    // A departure is shown; that the others go on receiving is the server's.
    const QString gone = QStringLiteral("客户端已断开: 127.0.0.1:%1").arg(clients[0]->localPort());
    clients[0]->abort();
    QTRY_VERIFY(rig.netText().endsWith(gone));

    rig.click("pBtnNetCnnt");
    QVERIFY(!rig.find<TcpServer>());
    QCOMPARE(rig.caption("pBtnNetCnnt"), QStringLiteral("连接网络"));
    QTRY_COMPARE(clients[2]->state(), QAbstractSocket::UnconnectedState);
}

void tst_Bridge::tcpClientBothWays()
{
    RemoteServer remote;
    Rig rig;
    QVERIFY(rig.openLinkTo(remote));
    QVERIFY(remote.peer);
    QCOMPARE(rig.state(), QStringLiteral("连接TCP服务器成功"));
    QCOMPARE(rig.caption("pBtnNetCnnt"), QStringLiteral("断开网络"));
    QCOMPARE(rig.text("lEditUdpPort"), QString::number(remote.peer->peerPort()));

    QVERIFY(rig.device.write("$GPGGA,3\r\n"));
    QCOMPARE(readAtLeast(remote.peer, 10), QByteArray("$GPGGA,3\r\n"));

    remote.peer->write(QByteArray("\0corr\r\n", 7));
    QCOMPARE(rig.device.read(7), QByteArray("\0corr\r\n", 7));
    QCOMPARE(rig.capture.captured(), QByteArray("\0corr\r\n", 7));

    rig.click("pBtnNetCnnt");
    QCOMPARE(rig.caption("pBtnNetCnnt"), QStringLiteral("连接网络"));
    QCOMPARE(rig.state(), QString());
    QTRY_COMPARE(remote.peer->state(), QAbstractSocket::UnconnectedState);
    QTest::qWait(100);
    QVERIFY(rig.boxes.texts.isEmpty());
    QTRY_VERIFY(!rig.find<QTcpSocket>());
}

void tst_Bridge::tcpClientLosesTheServer_data()
{
    QTest::addColumn<int>("lastWords"); // bytes the server sends, then closes; 0: it stops reading
    QTest::newRow("server closes after its last words") << 10;
    // More than the device's bound: reading is held when the server closes,
    // and what the socket holds must still reach the device and the file.
    QTest::newRow("server closes while reading is held") << 64 * 1024;
    QTest::newRow("server stops reading") << 0;
}

void tst_Bridge::tcpClientLosesTheServer()
{
    // The link goes down with one box, and the next connect works again.
    QFETCH(int, lastWords);
    RemoteServer remote;
    Rig rig;
    QVERIFY(rig.openLinkTo(remote));
    QVERIFY(remote.peer);
    const QByteArray words(lastWords, 'w');
    if (lastWords > 0) {
        remote.peer->write(words);
        remote.peer->disconnectFromHost();
    } else {
        remote.peer->setReadBufferSize(1);
        const QByteArray chunk(4096, 'g');
        for (int i = 0; i < 20000 && rig.caption("pBtnNetCnnt") != QStringLiteral("连接网络"); ++i)
            QVERIFY(rig.device.write(chunk));
    }
    // The device reads as they come: the link goes once they have all gone.
    QCOMPARE(rig.device.read(lastWords), words);
    QTRY_COMPARE(rig.caption("pBtnNetCnnt"), QStringLiteral("连接网络"));
    QCOMPARE(rig.state(), QString());
    QTRY_COMPARE(rig.boxes.texts.size(), 1);
    QTest::qWait(100);
    QCOMPARE(rig.boxes.texts, QStringList({ "与服务器的连接已断开!" }));
    QCOMPARE(rig.capture.captured(), words);

    rig.click("pBtnNetCnnt");
    QCOMPARE(rig.caption("pBtnNetCnnt"), QStringLiteral("断开网络"));
}

void tst_Bridge::tcpClientCloseWithQueuedData_data()
{
    QTest::addColumn<bool>("serverReadsAgain");
    QTest::newRow("server reads again: it gets every byte") << true;
    QTest::newRow("server never reads: the socket goes after its grace") << false;
}

void tst_Bridge::tcpClientCloseWithQueuedData()
{
    QFETCH(bool, serverReadsAgain);
    RemoteServer remote;
    Rig rig;
    QVERIFY(rig.openLinkTo(remote));
    QVERIFY(remote.peer);
    remote.peer->setReadBufferSize(1);
    auto *socket = rig.find<QTcpSocket>();
    QVERIFY(socket);

    qint64 written = 0;
    connect(socket, &QTcpSocket::bytesWritten, this,
            [&written](qint64 bytes) { written += bytes; });
    const QByteArray chunk(4096, 'g');
    const qint64 stalled = 1024 * 1024; // beyond what the kernel buffers take
    qint64 sent = 0;
    for (int i = 0; i < 10000 && socket->bytesToWrite() < stalled; ++i) {
        QVERIFY(rig.device.write(chunk));
        sent += chunk.size();
        QTest::qWait(0);
    }
    // Everything written to the device has been read and queued for the server.
    QTRY_COMPARE(written + socket->bytesToWrite(), sent);
    QVERIFY(socket->bytesToWrite() >= stalled);

    QPointer<QTcpSocket> closing = socket;
    rig.click("pBtnNetCnnt");
    QCOMPARE(rig.caption("pBtnNetCnnt"), QStringLiteral("连接网络"));
    QVERIFY(closing);
    if (serverReadsAgain) {
        remote.peer->setReadBufferSize(0);
        QByteArray received;
        connect(remote.peer, &QTcpSocket::readyRead, this,
                [&] { received += remote.peer->readAll(); });
        received += remote.peer->readAll();
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), int(sent), 10000);
        QVERIFY(received == QByteArray(int(sent), 'g'));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!closing, 10000);
}

#ifdef Q_OS_UNIX
void tst_Bridge::serverOutOfDescriptors_data()
{
    QTest::addColumn<int>("waitingClients");
    QTest::addColumn<int>("descriptorsFree");
    QTest::newRow("none free") << 5 << 0;
    QTest::newRow("a burst through the reserve") << 40 << 24; // fewer than the listen backlog
}

void tst_Bridge::serverOutOfDescriptors()
{
    // More clients than the process has descriptors for: the clients already
    // there, the device and the capture go on, the window does not spin, a
    // burst leaves the descriptors kept free for the serial link, and the
    // waiting clients are accepted once descriptors are free again.
    QFETCH(int, waitingClients);
    QFETCH(int, descriptorsFree);
    Rig rig;
    QVERIFY(rig.openSerial());
    auto *server = rig.startServer();
    QTcpSocket first;
    first.connectToHost(loopback(), server->serverPort());
    QVERIFY(first.waitForConnected(3000));
    QTRY_COMPARE(server->clientCount(), 1);

    // The waiting clients' sockets exist before the limit is lowered.
    std::vector<int> waiting;
    for (int i = 0; i < waitingClients; ++i)
        waiting.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    rlimit previous{};
    getrlimit(RLIMIT_NOFILE, &previous);
    rlimit exhausted = previous;
    const int lowestFree = dup(0);
    ::close(lowestFree);
    exhausted.rlim_cur =
            rlim_t(lowestFree + descriptorsFree); // every descriptor below lowestFree is taken
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &exhausted), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(server->serverPort());
    for (int fd : waiting)
        ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    first.write("still here");
    const QByteArray received = rig.device.read(10, 1500);
    // A loop that retries the accept without pause keeps a core busy.
    QTest::qWait(1000);
    timespec cpuBefore{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuBefore);
    QTest::qWait(1000);
    timespec cpuAfter{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuAfter);
    const int clientsWhileExhausted = server->clientCount();
    bool serialReopened = true;
    if (descriptorsFree > 0) {
        rig.click("ConnectBtn");
        rig.click("ConnectBtn");
        serialReopened = rig.device.read(48).size() == 48;
    }
    setrlimit(RLIMIT_NOFILE, &previous);

    const double cpuSeconds = double(cpuAfter.tv_sec - cpuBefore.tv_sec)
            + (cpuAfter.tv_nsec - cpuBefore.tv_nsec) / 1e9;
    QVERIFY2(cpuSeconds < 0.5, qPrintable(QStringLiteral("%1 s of CPU in 1 s").arg(cpuSeconds)));
    QCOMPARE(received, QByteArray("still here"));
    QVERIFY(clientsWhileExhausted <= 1 + descriptorsFree);
    QVERIFY2(serialReopened, qPrintable(rig.boxes.texts.join(' ')));
    QTRY_COMPARE(rig.capture.captured(), QByteArray("still here"));
    QTRY_COMPARE(server->clientCount(), 1 + int(waiting.size()));
    for (int fd : waiting)
        ::close(fd);
}

void tst_Bridge::closingTheWindow_data()
{
    QTest::addColumn<QString>("when");
    QTest::addColumn<int>("role");
    QTest::addColumn<QString>("how");
    QTest::newRow("UDP up") << "links-up" << int(Widget::UdpRole) << "widget";
    QTest::newRow("TCP server with a client")
            << "links-up" << int(Widget::TcpServerRole) << "widget";
    QTest::newRow("TCP client up") << "links-up" << int(Widget::TcpClientRole) << "widget";
    QTest::newRow("connect wait, close()")
            << "connect-wait" << int(Widget::TcpClientRole) << "widget";
    QTest::newRow("connect wait, WM_DELETE_WINDOW on X11")
            << "connect-wait" << int(Widget::TcpClientRole) << "window-system";
}

void tst_Bridge::closingTheWindow()
{
    // The program's own way of running, in a child: the operator closes the
    // window with the serial link and the role up, or while it waits for the
    // server. The program ends with exit code 0 (no box keeps it running)
    // and sends the device nothing more. The window system's own request
    // comes as user input on X11.
    QFETCH(QString, when);
    QFETCH(int, role);
    QFETCH(QString, how);
    RemoteServer remote;
    DevicePlayer device;
    VirtualDisplay display;
    PeerProcess child;
    if (how == "window-system") {
#  ifndef TAVRIK_TEST_XCB
        QSKIP("built without libxcb (package libxcb1-dev)");
#  endif
        QString whyNot;
        if (!display.start(&whyNot))
            QSKIP(qPrintable(whyNot));
        QProcessEnvironment environment = display.environment();
        // Qt's X11 platform and the libraries under it keep what they
        // allocate until the process ends: no leak check for this child.
        environment.insert("ASAN_OPTIONS", environment.value("ASAN_OPTIONS") + ":detect_leaks=0");
        child.setProcessEnvironment(environment);
    }
    const quint16 serverPort =
            when == "connect-wait" ? freeTcpPort() : remote.listener.serverPort();
    child.start(QCoreApplication::applicationFilePath(),
                { "--close-the-window", when, QString::number(role), device.portName(),
                  QString::number(serverPort), how });
    QCOMPARE(device.read(48).size(), 48);
    QVERIFY2(child.waitForFinished(20000), "the program did not end after its window was closed");
    const QByteArray output = child.readAllStandardOutput();
    QVERIFY2(output.contains(when == "connect-wait" ? "asked to close" : "links up"),
             output.constData());
    QVERIFY2(!output.contains("box"), output.constData());
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QVERIFY(device.readFor(200).isEmpty());
}

#  ifdef TAVRIK_TEST_XCB
// Sends the window the close request a window manager sends: a WM_PROTOCOLS
// message with WM_DELETE_WINDOW, through a connection of its own.
static bool sendCloseRequest(WId window)
{
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return false;
    }
    const auto atom = [connection](const char *name) {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
                connection, xcb_intern_atom(connection, 0, uint16_t(qstrlen(name)), name), nullptr);
        const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        free(reply);
        return atom;
    };
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = xcb_window_t(window);
    message.type = atom("WM_PROTOCOLS");
    message.data.data32[0] = atom("WM_DELETE_WINDOW");
    message.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(connection, 0, message.window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char *>(&message));
    // Once the server answers, it has passed the message on.
    free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    xcb_disconnect(connection);
    return true;
}
#  endif

// The child of closingTheWindow: WHEN ROLE DEVICE SERVER-PORT HOW, where WHEN
// is "links-up" or "connect-wait" and HOW is "widget" or "window-system".
// Prints "box" and ends with 3 when a box appears.
static int closeTheWindow(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QByteArray when = argv[2];
    const int role = QString::fromLocal8Bit(argv[3]).toInt();
    const auto serverPort = quint16(QString::fromLocal8Bit(argv[5]).toInt());
    const bool byWindowSystem = qstrcmp(argv[6], "window-system") == 0;
    WindowRig rig({ QString::fromLocal8Bit(argv[4]) });
    Widget &window = rig.window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 2;
    QObject::connect(&rig.boxes, &MessageBoxCloser::shown, [](const QString &text) {
        std::printf("box: %s\n", qPrintable(text));
        std::fflush(stdout);
        std::_Exit(3);
    });
    const auto askToClose = [&] {
        if (byWindowSystem) {
#  ifdef TAVRIK_TEST_XCB
            if (!sendCloseRequest(window.winId()))
                std::_Exit(2);
#  endif
            // Qt's own connection reads it meanwhile, without the event loop.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        } else {
            QMetaObject::invokeMethod(&window, "close", Qt::QueuedConnection);
        }
    };
    rig.click("ConnectBtn");
    if (when == "connect-wait") {
        QTimer::singleShot(0, &window, [&] {
            askToClose();
            std::printf("asked to close\n");
            std::fflush(stdout);
            // The close asked for meanwhile ends the wait, and the program.
            (void)rig.connectClient(serverPort);
        });
        return app.exec();
    }
    QTcpSocket client;
    if (role == Widget::UdpRole) {
        if (!rig.connectUdp(9))
            return 1;
    } else if (role == Widget::TcpServerRole) {
        if (auto *server = rig.startServer())
            client.connectToHost(loopback(), server->serverPort());
    } else if (!rig.connectClient(serverPort)) {
        return 1;
    }
    QTimer::singleShot(500, &window, [&] {
        if (rig.caption("ConnectBtn") == QStringLiteral("串口关闭")
            && rig.caption("pBtnNetCnnt") == QStringLiteral("断开网络")
            && (role != Widget::TcpServerRole
                || client.state() == QAbstractSocket::ConnectedState)) {
            std::printf("links up\n");
            std::fflush(stdout);
        }
        askToClose();
    });
    return app.exec();
}

#else
void tst_Bridge::serverOutOfDescriptors_data() { }
void tst_Bridge::serverOutOfDescriptors()
{
    QSKIP("sets the POSIX descriptor limit");
}
void tst_Bridge::closingTheWindow_data() { }
void tst_Bridge::closingTheWindow()
{
    QSKIP("closes the window through X11 in a child");
}
#endif

int main(int argc, char *argv[])
{
#ifdef Q_OS_UNIX
    if (argc > 6 && qstrcmp(argv[1], "--close-the-window") == 0)
        return closeTheWindow(argc, argv);
#endif
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    tst_Bridge test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_bridge.moc"

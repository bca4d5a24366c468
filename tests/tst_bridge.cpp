#include "paragraphlog.h"
#include "tcpserver.h"
#include "testsupport.h"
#include "widget.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPort>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

namespace {
// A server for the TCP client role, holding the one connection it accepts.
struct RemoteServer
{
    QTcpServer listener;
    QTcpSocket *peer = nullptr;
    RemoteServer() { listener.listen(QHostAddress::LocalHost, 0); }
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
    void roleChangesRelabelTheFields_data();
    void roleChangesRelabelTheFields();
    void udpConnectAndDisconnect();
    void failedConnectLeavesNothing_data();
    void failedConnectLeavesNothing();
    void udpPortText_data();
    void udpPortText();
    void udpBothWays();
    void networkDataToDevice_data();
    void networkDataToDevice();
    void largeSerialReadIsNotLost();
    void udpTargetNotListening();
    void deviceThatTakesNothing();
    void captureFileCannotBeOpened();
    void captureFileCannotBeWritten();
    void tcpServerRole();
    void tcpClientBothWays();
    void tcpClientServerCloses();
    void tcpClientServerStopsReading();
    void tcpClientCloseWithAStalledServer();
    void disconnectAfterRoleChange();
    void closingWithEveryLinkUp_data();
    void closingWithEveryLinkUp();

private:
    struct Rig
    {
        QTemporaryDir folder;
        CaptureDirectory capture { folder.path() };
        Pty device;
        Widget window { fakeProbe({ device.slavePath() }) };

        template <typename T = QWidget>
        T *find(const char *name) { return window.findChild<T *>(name); }
        QString text(const char *name) { return find<QLineEdit>(name)->text(); }
        void setText(const char *name, const QString &text) { find<QLineEdit>(name)->setText(text); }
        void chooseRole(int role) { find<QComboBox>("cBoxNetType")->setCurrentIndex(role); }
        void clickNetwork() { QTest::mouseClick(find("pBtnNetCnnt"), Qt::LeftButton); }
        QString networkCaption() { return find<QPushButton>("pBtnNetCnnt")->text(); }
        QString state() { return find<QLabel>("CurState")->text(); }
        QString netView() { return find<QTextEdit>("textEdit_Client")->toPlainText(); }
        void openSerial()
        {
            QTest::mouseClick(find("ConnectBtn"), Qt::LeftButton);
            QCOMPARE(device.read(48).size(), 48);
        }
        void connectUdp(quint16 target)
        {
            connectUdpRole(window, target);
            QCOMPARE(networkCaption(), QStringLiteral("断开网络"));
        }
        quint16 udpPort() { return window.findChild<QUdpSocket *>()->localPort(); }
        // The serial link open and the UDP role sending to `peer`, which is
        // bound here on loopback.
        void openUdpLinkTo(QUdpSocket &peer)
        {
            QVERIFY(peer.bind(QHostAddress(QHostAddress::LocalHost), 0));
            openSerial();
            connectUdp(peer.localPort());
        }
        // The serial link open and the TCP client role connected to `remote`;
        // remote.peer is the accepted connection, null when there is none.
        void openLinkTo(RemoteServer &remote)
        {
            openSerial();
            connectTcpClientRole(window, remote.listener.serverPort());
            remote.accept();
        }
    };

    static quint16 freeTcpPort();
};

quint16 tst_Bridge::freeTcpPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

void tst_Bridge::roleChangesRelabelTheFields_data()
{
    QTest::addColumn<QList<int>>("roles");
    QTest::addColumn<bool>("targetRowShown");
    QTest::addColumn<QStringList>("captions"); // label_IP, label_Port, labelUdp, labelUdp1
    QTest::addColumn<QString>("address");

    const QStringList udp = { "本地IP地址", "本地端口", "目标IP地址", "目标端口" };
    const QStringList client = { "服务器IP地址", "服务器端口", "本地IP地址", "本地端口" };
    QTest::newRow("UDP, then TCP server") << QList<int>({ 1 }) << false << udp << "192.0.2.10";
    QTest::newRow("TCP client") << QList<int>({ 2 }) << true << client << "192.168.42.1";
    QTest::newRow("TCP client, then TCP server")
        << QList<int>({ 2, 1 }) << false
        << QStringList({ "本地IP地址", "本地端口", "本地IP地址", "本地端口" }) << "192.0.2.10";
    QTest::newRow("TCP client, TCP server, UDP") << QList<int>({ 2, 1, 0 }) << true << udp
                                                << "192.0.2.10";
    QTest::newRow("no role at all") << QList<int>({ -1 }) << true << udp << "typed";
}

void tst_Bridge::roleChangesRelabelTheFields()
{
    QFETCH(QList<int>, roles);
    Rig rig;
    rig.setText("lEditIpAddr", "typed");
    rig.setText("lEditIpPort", "7001");
    rig.setText("lEditUdpIP", "10.0.0.9");
    rig.setText("lEditUdpPort", "7002");
    for (int role : roles)
        rig.chooseRole(role);

    const QStringList shownRow = { "labelSpaceUdp", "lEditUdpIP", "labelUdp", "labelUdp1",
                                   "lEditUdpPort" };
    for (const QString &name : shownRow)
        QTEST(!rig.window.findChild<QWidget *>(name)->isHidden(), "targetRowShown");
    QTEST(QStringList({ rig.find<QLabel>("label_IP")->text(), rig.find<QLabel>("label_Port")->text(),
                        rig.find<QLabel>("labelUdp")->text(), rig.find<QLabel>("labelUdp1")->text() }),
          "captions");
    QTEST(rig.text("lEditIpAddr"), "address");
    QCOMPARE(rig.text("lEditIpPort"), QStringLiteral("7001"));
    QCOMPARE(rig.text("lEditUdpIP"), QStringLiteral("10.0.0.9"));
    QCOMPARE(rig.text("lEditUdpPort"), QStringLiteral("7002"));
}

void tst_Bridge::udpConnectAndDisconnect()
{
    Rig rig;
    rig.setText("lEditIpPort", "0");
    rig.clickNetwork();
    QCOMPARE(rig.state(), QStringLiteral("建立UDP连接成功"));
    QCOMPARE(rig.networkCaption(), QStringLiteral("断开网络"));
    QVERIFY(rig.udpPort() != 0);

    rig.clickNetwork();
    QVERIFY(!rig.window.findChild<QUdpSocket *>());
    QCOMPARE(rig.networkCaption(), QStringLiteral("连接网络"));
    QCOMPARE(rig.state(), QString());
}

void tst_Bridge::failedConnectLeavesNothing_data()
{
    QTest::addColumn<int>("role");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("port"); // "udp held", "tcp held", "free" or a number
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("localPortShown");

    QTest::newRow("UDP port held") << 0 << "127.0.0.1" << "udp held" << "UDP绑定端口失败!" << "";
    QTest::newRow("TCP server port held") << 1 << "127.0.0.1" << "tcp held"
                                          << "尝试建立服务器失败! 请确认网络状态和端口。" << "";
    QTest::newRow("TCP server address not ours") << 1 << "192.0.2.77" << "0"
                                                 << "尝试建立服务器失败! 请确认网络状态和端口。" << "";
    QTest::newRow("TCP client, host name") << 2 << "localhost" << "free" << "TCP服务器IP设置失败!"
                                           << "";
    QTest::newRow("TCP client, nothing listening")
        << 2 << "127.0.0.1" << "free" << "尝试连接服务器失败! 请确认服务器状态。" << "0";
}

void tst_Bridge::failedConnectLeavesNothing()
{
    QFETCH(int, role);
    QFETCH(QString, address);
    QFETCH(QString, port);

    QUdpSocket udpHolder;
    QVERIFY(udpHolder.bind(QHostAddress::AnyIPv4, 0, QUdpSocket::DontShareAddress));
    QTcpServer tcpHolder;
    QVERIFY(tcpHolder.listen(QHostAddress::LocalHost, 0));
    if (port == QLatin1String("udp held"))
        port = QString::number(udpHolder.localPort());
    else if (port == QLatin1String("tcp held"))
        port = QString::number(tcpHolder.serverPort());
    else if (port == QLatin1String("free"))
        port = QString::number(freeTcpPort());

    Rig rig;
    rig.chooseRole(role);
    rig.setText("lEditIpAddr", address);
    rig.setText("lEditIpPort", port);
    MessageBoxCloser boxes;
    rig.clickNetwork();

    QCOMPARE(boxes.titles, QStringList({ "错误" }));
    QFETCH(QString, message);
    QCOMPARE(boxes.texts, QStringList({ message }));
    QTEST(rig.text("lEditUdpPort"), "localPortShown");
    QCOMPARE(rig.networkCaption(), QStringLiteral("连接网络"));
    QCOMPARE(rig.state(), QString());
    QVERIFY(!rig.window.findChild<QUdpSocket *>());
    QVERIFY(!rig.window.findChild<QTcpServer *>());
    QVERIFY(!rig.window.findChild<QTcpSocket *>());
}

void tst_Bridge::udpPortText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port"); // 0: any port the system picks
    QTest::newRow("70000 wraps to 4464") << "70000" << 4464;
    QTest::newRow("-61536 wraps to 4000") << "-61536" << 4000;
    QTest::newRow("not a number is 0") << "80x" << 0;
    QTest::newRow("empty is 0") << "" << 0;
}

void tst_Bridge::udpPortText()
{
    QFETCH(QString, text);
    QFETCH(int, port);
    Rig rig;
    rig.setText("lEditIpPort", text);
    MessageBoxCloser boxes;
    rig.clickNetwork();
    if (port != 0 && !boxes.texts.isEmpty())
        QSKIP("the wrapped port is taken on this machine");
    QCOMPARE(rig.networkCaption(), QStringLiteral("断开网络"));
    if (port == 0)
        QVERIFY(rig.udpPort() != 0);
    else
        QCOMPARE(int(rig.udpPort()), port);
}

void tst_Bridge::udpBothWays()
{
    QUdpSocket peer;
    Rig rig;
    rig.openUdpLinkTo(peer);

    // Serial to network: the datagram is the read, byte for byte.
    const QByteArray sentence("$GPGGA,1\r\n\0tail\r\n", 18);
    rig.device.write(sentence);
    QTRY_VERIFY(peer.hasPendingDatagrams());
    QNetworkDatagram datagram = peer.receiveDatagram();
    QCOMPARE(datagram.data(), sentence);
    QTRY_COMPARE(rig.find<QTextEdit>("textEdit_Servce")->toPlainText(), QStringLiteral("$GPGGA,1 "));

    // Network to serial and capture file.
    TraceLog trace;
    const QByteArray correction("\xd3\x00\x13\0RTCM\r\n", 10);
    peer.writeDatagram(correction, QHostAddress::LocalHost, rig.udpPort());
    QCOMPARE(rig.device.read(correction.size()), correction);
    QCOMPARE(rig.capture.captured(), correction);
    QCOMPARE(trace.lines().first(), QStringLiteral("向串口写入数据正确"));
    QVERIFY(trace.lines().at(1).startsWith(QStringLiteral("写数据的大小: ")));
    QCOMPARE(trace.lines().at(2), QStringLiteral("向文件写入数据正确"));

    peer.writeDatagram("second", QHostAddress::LocalHost, rig.udpPort());
    QCOMPARE(rig.device.read(6), QByteArray("second"));
    QCOMPARE(rig.capture.captured(), correction + "second");
}

void tst_Bridge::networkDataToDevice_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("firstTrace");

    QTest::newRow("CR LF removed") << QByteArray("OK\r\n") << "OK" << "向串口写入数据正确";
    QTest::newRow("CR LF only") << QByteArray("\r\n") << "" << "向串口写入数据正确";
    QTest::newRow("NUL first") << QByteArray("\0AB", 3) << "" << "向串口写入数据正确";
    QTest::newRow("lone CR kept") << QByteArray("A\rB") << "A\nB" << "向串口写入数据正确";
    QTest::newRow("empty datagram") << QByteArray() << "" << "向串口写入数据错误";
}

void tst_Bridge::networkDataToDevice()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QString, shown);

    QUdpSocket peer;
    Rig rig;
    rig.openUdpLinkTo(peer);
    TraceLog trace;
    peer.writeDatagram(datagram, QHostAddress::LocalHost, rig.udpPort());
    QTRY_VERIFY(trace.lines().contains("向文件写入数据正确"));

    QTEST(trace.lines().first(), "firstTrace");
    QCOMPARE(rig.device.readFor(100), datagram);
    QTRY_COMPARE(rig.netView(), shown);
    QTest::qWait(2 * ParagraphLog::refreshIntervalMs);
    QCOMPARE(rig.netView(), shown);
    QVERIFY(QFile::exists(rig.capture.captureFile()));
    QCOMPARE(rig.capture.captured(), datagram);
}

void tst_Bridge::largeSerialReadIsNotLost()
{
    // A read too large for one datagram leaves as several, nothing dropped.
    QUdpSocket peer;
    Rig rig;
    rig.openUdpLinkTo(peer);
    peer.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4 * 1024 * 1024);

    QByteArray burst;
    for (int i = 0; burst.size() < 200 * 1024; ++i)
        burst += QByteArray::number(i) + ",$GPGGA,123519,4807.038,N,01131.000,E\r\n";
    rig.device.write(burst);

    QByteArray received;
    QElapsedTimer clock;
    clock.start();
    while (received.size() < burst.size() && clock.elapsed() < 10000) {
        QTest::qWait(5);
        while (peer.hasPendingDatagrams()) {
            const QByteArray data = peer.receiveDatagram().data();
            QVERIFY(data.size() <= Widget::maxDatagramSize);
            received += data;
        }
    }
    QCOMPARE(received.size(), burst.size());
    QVERIFY(received == burst);
}

void tst_Bridge::udpTargetNotListening()
{
    // Datagrams to a closed port draw ICMP errors; the stream goes on, and a
    // peer that starts listening later gets what comes from then on.
    quint16 port = 0;
    {
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress(QHostAddress::LocalHost), 0));
        port = probe.localPort();
    }
    Rig rig;
    rig.openSerial();
    rig.connectUdp(port);
    MessageBoxCloser boxes;
    for (int i = 0; i < 20; ++i) {
        rig.device.write("$GPGGA," + QByteArray::number(i) + "\r\n");
        QTest::qWait(5);
    }
    QTRY_VERIFY(rig.find<QTextEdit>("textEdit_Servce")->toPlainText().contains("$GPGGA,19 "));
    QCOMPARE(rig.networkCaption(), QStringLiteral("断开网络"));

    QUdpSocket late;
    QVERIFY(late.bind(QHostAddress(QHostAddress::LocalHost), port));
    rig.device.write("$GPGGA,later\r\n");
    QTRY_VERIFY(late.hasPendingDatagrams());
    QCOMPARE(late.receiveDatagram().data(), QByteArray("$GPGGA,later\r\n"));
    QVERIFY(boxes.texts.isEmpty());
}

void tst_Bridge::deviceThatTakesNothing()
{
    // The device side never reads: the queue towards it stops at its bound,
    // while the capture file gets every byte.
    QUdpSocket peer;
    Rig rig;
    rig.openUdpLinkTo(peer);
    auto *port = rig.window.findChild<QSerialPort *>();

    TraceLog trace;
    const QByteArray block(60000, 'c');
    const int blocks = int(Widget::maxPendingBytes / block.size()) + 20;
    for (int i = 0; i < blocks; ++i) {
        peer.writeDatagram(block, QHostAddress::LocalHost, rig.udpPort());
        QTRY_COMPARE(trace.count("向文件写入数据正确"), i + 1);
    }
    QVERIFY(trace.count("向串口写入数据错误") > 0);
    QVERIFY(port->bytesToWrite() <= Widget::maxPendingBytes + block.size());
    QCOMPARE(rig.capture.captured().size(), blocks * block.size());
}

void tst_Bridge::captureFileCannotBeOpened()
{
    QUdpSocket peer;
    Rig rig;
    QVERIFY(QDir(rig.folder.path()).rmdir("D:"));
    rig.openUdpLinkTo(peer);

    TraceLog trace;
    peer.writeDatagram("one", QHostAddress::LocalHost, rig.udpPort());
    QCOMPARE(rig.device.read(3), QByteArray("one"));
    QTRY_VERIFY(trace.lines().contains("Can't open file for writing"));
    peer.writeDatagram("two", QHostAddress::LocalHost, rig.udpPort());
    // The buffer is emptied all the same: the device does not get "one" again.
    QCOMPARE(rig.device.read(3), QByteArray("two"));
    QVERIFY(rig.device.readFor(100).isEmpty());
}

void tst_Bridge::captureFileCannotBeWritten()
{
    QUdpSocket peer;
    Rig rig;
    if (!QFile::link("/dev/full", rig.capture.captureFile()))
        QSKIP("cannot make the capture file a full device here");
    rig.openUdpLinkTo(peer);

    TraceLog trace;
    peer.writeDatagram("fix", QHostAddress::LocalHost, rig.udpPort());
    QCOMPARE(rig.device.read(3), QByteArray("fix"));
    QTRY_VERIFY(std::any_of(trace.lines().cbegin(), trace.lines().cend(),
                            [](const QString &line) { return line.startsWith("Can't write to file"); }));
}

void tst_Bridge::tcpServerRole()
{
    Rig rig;
    rig.openSerial();
    startTcpServerRole(rig.window);
    QCOMPARE(rig.state(), QStringLiteral("建立TCP服务器成功"));
    QCOMPARE(rig.networkCaption(), QStringLiteral("断开网络"));
    auto *server = rig.window.findChild<TcpServer *>();
    QVERIFY(server && server->isListening());
    QCOMPARE(server->serverAddress(), QHostAddress(QHostAddress::LocalHost));

    std::vector<std::unique_ptr<QTcpSocket>> clients;
    QStringList arrivals;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QHostAddress::LocalHost, server->serverPort());
        QVERIFY(clients.back()->waitForConnected(3000));
        arrivals << QStringLiteral("客户端已连接: 127.0.0.1:%1").arg(clients.back()->localPort());
        QTRY_COMPARE(server->clientCount(), i + 1);
    }
    QTRY_COMPARE(rig.netView(), arrivals.join('\n'));

    // From one client to the device, not to the other clients.
    clients[1]->write(QByteArray("cmd\0\r\n", 6));
    QCOMPARE(rig.device.read(6), QByteArray("cmd\0\r\n", 6));
    QCOMPARE(rig.capture.captured(), QByteArray("cmd\0\r\n", 6));

    // From the device to every client.
    rig.device.write("$GPGGA,2\r\n");
    for (auto &client : clients)
        QCOMPARE(readAtLeast(client.get(), 10), QByteArray("$GPGGA,2\r\n"));

    // An abrupt reset is a departure like any other.
    const QString gone = QStringLiteral("客户端已断开: 127.0.0.1:%1").arg(clients[0]->localPort());
    clients[0]->abort();
    QTRY_VERIFY(rig.netView().endsWith(gone));
    QCOMPARE(server->clientCount(), 2);
    rig.device.write("after");
    QCOMPARE(readAtLeast(clients[2].get(), 5), QByteArray("after"));

    rig.clickNetwork();
    QVERIFY(!rig.window.findChild<TcpServer *>());
    QCOMPARE(rig.networkCaption(), QStringLiteral("连接网络"));
    QTRY_COMPARE(clients[2]->state(), QAbstractSocket::UnconnectedState);
}

void tst_Bridge::tcpClientBothWays()
{
    RemoteServer remote;
    Rig rig;
    rig.openLinkTo(remote);
    QVERIFY(remote.peer);
    QCOMPARE(rig.state(), QStringLiteral("连接TCP服务器成功"));
    QCOMPARE(rig.networkCaption(), QStringLiteral("断开网络"));
    QCOMPARE(rig.text("lEditUdpPort"), QString::number(remote.peer->peerPort()));

    rig.device.write("$GPGGA,3\r\n");
    QCOMPARE(readAtLeast(remote.peer, 10), QByteArray("$GPGGA,3\r\n"));

    remote.peer->write(QByteArray("\0corr\r\n", 7));
    QCOMPARE(rig.device.read(7), QByteArray("\0corr\r\n", 7));
    QCOMPARE(rig.capture.captured(), QByteArray("\0corr\r\n", 7));

    MessageBoxCloser boxes;
    rig.clickNetwork();
    QCOMPARE(rig.networkCaption(), QStringLiteral("连接网络"));
    QCOMPARE(rig.state(), QString());
    QTRY_COMPARE(remote.peer->state(), QAbstractSocket::UnconnectedState);
    QTest::qWait(100);
    QVERIFY(boxes.texts.isEmpty());
    QTRY_VERIFY(!rig.window.findChild<QTcpSocket *>());
}

void tst_Bridge::tcpClientServerCloses()
{
    RemoteServer remote;
    Rig rig;
    rig.openLinkTo(remote);
    QVERIFY(remote.peer);

    MessageBoxCloser boxes;
    remote.peer->write("last words");
    remote.peer->disconnectFromHost();
    QTRY_COMPARE(rig.networkCaption(), QStringLiteral("连接网络"));
    QCOMPARE(rig.state(), QString());
    QTRY_COMPARE(boxes.texts.size(), 1);
    QTest::qWait(100);
    QCOMPARE(boxes.texts, QStringList({ "与服务器的连接已断开!" }));
    QCOMPARE(rig.device.read(10), QByteArray("last words"));

    // The next connect works again.
    rig.clickNetwork();
    QCOMPARE(rig.networkCaption(), QStringLiteral("断开网络"));
}

void tst_Bridge::tcpClientServerStopsReading()
{
    RemoteServer remote;
    Rig rig;
    rig.openLinkTo(remote);
    QVERIFY(remote.peer);
    remote.peer->setReadBufferSize(1);

    MessageBoxCloser boxes;
    const QByteArray chunk(4096, 'g');
    for (int i = 0; i < 20000 && rig.networkCaption() != QStringLiteral("连接网络"); ++i)
        rig.device.write(chunk);
    QTRY_COMPARE(rig.networkCaption(), QStringLiteral("连接网络"));
    QTRY_COMPARE(boxes.texts, QStringList({ "与服务器的连接已断开!" }));
}

void tst_Bridge::tcpClientCloseWithAStalledServer()
{
    // What is still queued may leave for a short while; then the socket goes.
    RemoteServer remote;
    Rig rig;
    rig.openLinkTo(remote);
    QVERIFY(remote.peer);
    remote.peer->setReadBufferSize(1);
    auto *socket = rig.window.findChild<QTcpSocket *>();
    QVERIFY(socket);

    const QByteArray chunk(4096, 'g');
    const qint64 stalled = 1024 * 1024; // beyond what the kernel buffers take
    for (int i = 0; i < 10000 && socket->bytesToWrite() < stalled; ++i)
        rig.device.write(chunk);
    QVERIFY(socket->bytesToWrite() >= stalled);

    QPointer<QTcpSocket> closing = socket;
    rig.clickNetwork();
    QCOMPARE(rig.networkCaption(), QStringLiteral("连接网络"));
    QVERIFY(closing);
    QTRY_VERIFY_WITH_TIMEOUT(!closing, 10000);
}

void tst_Bridge::disconnectAfterRoleChange()
{
    Rig rig;
    rig.setText("lEditIpPort", "0");
    rig.clickNetwork();
    QVERIFY(rig.window.findChild<QUdpSocket *>());
    rig.chooseRole(2);
    rig.clickNetwork();
    QVERIFY(!rig.window.findChild<QUdpSocket *>());
    QCOMPARE(rig.networkCaption(), QStringLiteral("连接网络"));
    rig.chooseRole(1);
    rig.setText("lEditIpAddr", "127.0.0.1");
    rig.clickNetwork();
    rig.chooseRole(0);
    rig.clickNetwork();
    QVERIFY(!rig.window.findChild<TcpServer *>());
}

void tst_Bridge::closingWithEveryLinkUp_data()
{
    QTest::addColumn<int>("role");
    QTest::newRow("UDP") << 0;
    QTest::newRow("TCP server with a client") << 1;
    QTest::newRow("TCP client") << 2;
}

void tst_Bridge::closingWithEveryLinkUp()
{
    QFETCH(int, role);
    RemoteServer remote;
    Pty device;
    auto window = std::make_unique<Widget>(fakeProbe({ device.slavePath() }));
    QTest::mouseClick(window->findChild<QWidget *>("ConnectBtn"), Qt::LeftButton);
    QCOMPARE(device.read(48).size(), 48);
    window->findChild<QComboBox *>("cBoxNetType")->setCurrentIndex(role);
    window->findChild<QLineEdit *>("lEditIpAddr")->setText("127.0.0.1");
    window->findChild<QLineEdit *>("lEditIpPort")
        ->setText(role == 2 ? QString::number(remote.listener.serverPort()) : "0");
    QTest::mouseClick(window->findChild<QWidget *>("pBtnNetCnnt"), Qt::LeftButton);
    QCOMPARE(window->findChild<QPushButton *>("pBtnNetCnnt")->text(), QStringLiteral("断开网络"));

    QTcpSocket client;
    if (role == 1) {
        client.connectToHost(QHostAddress::LocalHost, window->findChild<TcpServer *>()->serverPort());
        QVERIFY(client.waitForConnected(3000));
        QTRY_COMPARE(window->findChild<TcpServer *>()->clientCount(), 1);
    }
    MessageBoxCloser boxes;
    window.reset();
    QTest::qWait(50);
    QVERIFY(boxes.texts.isEmpty());
    QVERIFY(device.read(1, 200).isEmpty());
}

QTEST_MAIN(tst_Bridge)
#include "tst_bridge.moc"

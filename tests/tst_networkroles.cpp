#include "tcpserver.h"
#include "sockets.h"
#include "windowrig.h"
#include "widget.h"

#include <QApplication>
#include <QLabel>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

// The window's network roles on loopback, with no serial device: the fields
// each role shows, bringing a role up and down, and what a failed attempt
// leaves behind.
class tst_NetworkRoles : public QObject
{
    Q_OBJECT

private slots:
    void roleChangesRelabelTheFields_data();
    void roleChangesRelabelTheFields();
    void failedConnectLeavesNothing_data();
    void failedConnectLeavesNothing();
    void serverListensOn_data();
    void serverListensOn();
    void udpPortText_data();
    void udpPortText();
    void networkButtonHammered_data();
    void networkButtonHammered();
    void disconnectAfterRoleChange();
};

void tst_NetworkRoles::roleChangesRelabelTheFields_data()
{
    QTest::addColumn<QList<int>>("roles");
    QTest::addColumn<bool>("targetRowShown");
    QTest::addColumn<QStringList>("captions"); // label_IP, label_Port, labelUdp, labelUdp1
    QTest::addColumn<QString>("address");

    const QStringList udp = { "本地IP地址", "本地端口", "目标IP地址", "目标端口" };
    const QStringList client = { "服务器IP地址", "服务器端口", "本地IP地址", "本地端口" };
    QTest::newRow("UDP, then TCP server")
            << QList<int>({ Widget::TcpServerRole }) << false << udp << "192.0.2.10";
    QTest::newRow("TCP client") << QList<int>({ Widget::TcpClientRole }) << true << client
                                << "192.168.42.1";
    QTest::newRow("TCP client, then TCP server")
            << QList<int>({ Widget::TcpClientRole, Widget::TcpServerRole }) << false
            << QStringList({ "本地IP地址", "本地端口", "本地IP地址", "本地端口" }) << "192.0.2.10";
    QTest::newRow("TCP client, TCP server, UDP")
            << QList<int>({ Widget::TcpClientRole, Widget::TcpServerRole, Widget::UdpRole }) << true
            << udp << "192.0.2.10";
    QTest::newRow("no role at all") << QList<int>({ -1 }) << true << udp << "typed";
}

void tst_NetworkRoles::roleChangesRelabelTheFields()
{
    QFETCH(QList<int>, roles);
    WindowRig rig;
    rig.setText("lEditIpAddr", "typed");
    rig.setText("lEditIpPort", "7001");
    rig.setText("lEditUdpIP", "10.0.0.9");
    rig.setText("lEditUdpPort", "7002");
    for (int role : roles)
        rig.chooseRole(role);

    const QStringList shownRow = { "labelSpaceUdp", "lEditUdpIP", "labelUdp", "labelUdp1",
                                   "lEditUdpPort" };
    for (const QString &name : shownRow)
        QTEST(!rig.find<QWidget>(name)->isHidden(), "targetRowShown");
    QTEST(QStringList(
                  { rig.find<QLabel>("label_IP")->text(), rig.find<QLabel>("label_Port")->text(),
                    rig.find<QLabel>("labelUdp")->text(), rig.find<QLabel>("labelUdp1")->text() }),
          "captions");
    QTEST(rig.text("lEditIpAddr"), "address");
    QCOMPARE(rig.text("lEditIpPort"), QStringLiteral("7001"));
    QCOMPARE(rig.text("lEditUdpIP"), QStringLiteral("10.0.0.9"));
    QCOMPARE(rig.text("lEditUdpPort"), QStringLiteral("7002"));
}

void tst_NetworkRoles::failedConnectLeavesNothing_data()
{
    QTest::addColumn<int>("role");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("port"); // "udp held", "tcp held", "free" or a number
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("localPortShown");

    QTest::newRow("UDP port held") << int(Widget::UdpRole) << "127.0.0.1"
                                   << "udp held"
                                   << "UDP绑定端口失败!"
                                   << "";
    QTest::newRow("TCP server port held") << int(Widget::TcpServerRole) << "127.0.0.1"
                                          << "tcp held"
                                          << "尝试建立服务器失败! 请确认网络状态和端口。"
                                          << "";
    QTest::newRow("TCP server address not ours") << int(Widget::TcpServerRole) << "192.0.2.77"
                                                 << "0"
                                                 << "尝试建立服务器失败! 请确认网络状态和端口。"
                                                 << "";
    // QTcpServer would listen on every interface for these.
    for (const QString &address : { QStringLiteral("999.1.1.1"), QStringLiteral("example"),
                                    QStringLiteral(" "), QString(10000, '1') })
        QTest::newRow(qPrintable("TCP server address " + address.left(12)))
                << int(Widget::TcpServerRole) << address << "0"
                << "尝试建立服务器失败! 请确认网络状态和端口。"
                << "";
    for (const QString &address :
         { QStringLiteral("localhost"), QStringLiteral("999.1.1.1"), QString(10000, '1') })
        QTest::newRow(qPrintable("TCP client address " + address.left(12)))
                << int(Widget::TcpClientRole) << address << "free"
                << "TCP服务器IP设置失败!"
                << "";
    QTest::newRow("TCP client, nothing listening") << int(Widget::TcpClientRole) << "127.0.0.1"
                                                   << "free"
                                                   << "尝试连接服务器失败! 请确认服务器状态。"
                                                   << "0";
}

void tst_NetworkRoles::failedConnectLeavesNothing()
{
    QFETCH(int, role);
    QFETCH(QString, address);
    QFETCH(QString, port);

    QUdpSocket udpHolder;
    QVERIFY(udpHolder.bind(QHostAddress::AnyIPv4, 0, QUdpSocket::DontShareAddress));
    QTcpServer tcpHolder;
    QVERIFY(tcpHolder.listen(loopback(), 0));
    if (port == QLatin1String("udp held"))
        port = QString::number(udpHolder.localPort());
    else if (port == QLatin1String("tcp held"))
        port = QString::number(tcpHolder.serverPort());
    else if (port == QLatin1String("free"))
        port = QString::number(freeTcpPort());

    WindowRig rig;
    rig.chooseRole(role);
    rig.setText("lEditIpAddr", address);
    rig.setText("lEditIpPort", port);
    rig.click("pBtnNetCnnt");

    QCOMPARE(rig.boxes.titles, QStringList({ "错误" }));
    QFETCH(QString, message);
    QCOMPARE(rig.boxes.texts, QStringList({ message }));
    QTEST(rig.text("lEditUdpPort"), "localPortShown");
    QCOMPARE(rig.caption("pBtnNetCnnt"), QStringLiteral("连接网络"));
    QCOMPARE(rig.state(), QString());
    QVERIFY(!rig.find<QUdpSocket>());
    QVERIFY(!rig.find<QTcpServer>());
    QVERIFY(!rig.find<QTcpSocket>());
}

void tst_NetworkRoles::serverListensOn_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("listening"); // a QHostAddress::SpecialAddress
    QTest::newRow("empty: every interface") << "" << int(QHostAddress::Any);
    QTest::newRow("0.0.0.0") << "0.0.0.0" << int(QHostAddress::AnyIPv4);
    QTest::newRow("::1") << "::1" << int(QHostAddress::LocalHostIPv6);
}

void tst_NetworkRoles::serverListensOn()
{
    QFETCH(QString, address);
    WindowRig rig;
    rig.chooseRole(Widget::TcpServerRole);
    rig.setText("lEditIpAddr", address);
    rig.setText("lEditIpPort", "0");
    rig.click("pBtnNetCnnt");
    QVERIFY2(rig.boxes.texts.isEmpty(), qPrintable(rig.boxes.texts.join(' ')));
    QCOMPARE(rig.state(), QStringLiteral("建立TCP服务器成功"));
    QFETCH(int, listening);
    QCOMPARE(rig.find<TcpServer>()->serverAddress(),
             QHostAddress(QHostAddress::SpecialAddress(listening)));
}

void tst_NetworkRoles::udpPortText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port"); // 0: any port the system picks
    QTest::newRow("70000 wraps to 4464") << "70000" << 4464;
    QTest::newRow("not a number is 0") << "80x" << 0;
    QTest::newRow("empty is 0") << "" << 0;
    QTest::newRow("-1 wraps to 65535") << "-1" << 65535;
    QTest::newRow("65536 wraps to 0") << "65536" << 0;
    QTest::newRow("too large for an int is 0") << "99999999999" << 0;
    QTest::newRow("spaces around are ignored") << " 8001 " << 8001;
    QTest::newRow("hexadecimal is not a number") << "0x50" << 0;
    QTest::newRow("base 10, leading zero") << "08002" << 8002;
}

// The UDP role up on the port the text names, and down again.
void tst_NetworkRoles::udpPortText()
{
    QFETCH(QString, text);
    QFETCH(int, port);
    WindowRig rig;
    rig.setText("lEditIpPort", text);
    rig.click("pBtnNetCnnt");
    if (port != 0 && !rig.boxes.texts.isEmpty())
        QSKIP("the wrapped port is taken on this machine");
    QCOMPARE(rig.state(), QStringLiteral("建立UDP连接成功"));
    QCOMPARE(rig.caption("pBtnNetCnnt"), QStringLiteral("断开网络"));
    if (port == 0)
        QVERIFY(rig.udpPort() != 0);
    else
        QCOMPARE(int(rig.udpPort()), port);

    rig.click("pBtnNetCnnt");
    QVERIFY(!rig.find<QUdpSocket>());
    QCOMPARE(rig.caption("pBtnNetCnnt"), QStringLiteral("连接网络"));
    QCOMPARE(rig.state(), QString());
}

void tst_NetworkRoles::networkButtonHammered_data()
{
    QTest::addColumn<int>("role");
    QTest::newRow("UDP") << int(Widget::UdpRole);
    QTest::newRow("TCP server") << int(Widget::TcpServerRole);
    QTest::newRow("TCP client") << int(Widget::TcpClientRole);
}

void tst_NetworkRoles::networkButtonHammered()
{
    // 200 quick clicks: captions stay true, no socket or descriptor is left.
    QFETCH(int, role);
    QTcpServer remote;
    QVERIFY(remote.listen(loopback(), 0));
    connect(&remote, &QTcpServer::newConnection, this, [&remote] {
        while (QTcpSocket *peer = remote.nextPendingConnection())
            peer->deleteLater();
    });
    WindowRig rig;
    rig.chooseRole(role);
    rig.setText("lEditIpAddr", loopback().toString());
    rig.setText("lEditIpPort",
                role == Widget::TcpClientRole ? QString::number(remote.serverPort()) : "0");
    const int descriptors = openDescriptors();
    for (int i = 0; i < 200; ++i) {
        // Each click is an event of its own: the loop runs in between.
        QCoreApplication::processEvents();
        rig.click("pBtnNetCnnt");
        QVERIFY2(rig.caption("pBtnNetCnnt")
                         == (i % 2 == 0 ? QStringLiteral("断开网络") : QStringLiteral("连接网络")),
                 qPrintable(QStringLiteral("click %1: %2").arg(i).arg(rig.boxes.texts.join(' '))));
    }
    QTRY_VERIFY(!rig.find<QAbstractSocket>() && !rig.find<QTcpServer>());
    QTRY_COMPARE(openDescriptors(), descriptors);
    QVERIFY(rig.boxes.texts.isEmpty());
}

void tst_NetworkRoles::disconnectAfterRoleChange()
{
    WindowRig rig;
    rig.setText("lEditIpPort", "0");
    rig.click("pBtnNetCnnt");
    QVERIFY(rig.find<QUdpSocket>());
    rig.chooseRole(Widget::TcpClientRole);
    rig.click("pBtnNetCnnt");
    QVERIFY(!rig.find<QUdpSocket>());
    QCOMPARE(rig.caption("pBtnNetCnnt"), QStringLiteral("连接网络"));
    rig.chooseRole(Widget::TcpServerRole);
    rig.setText("lEditIpAddr", loopback().toString());
    rig.click("pBtnNetCnnt");
    rig.chooseRole(Widget::UdpRole);
    rig.click("pBtnNetCnnt");
    QVERIFY(!rig.find<TcpServer>());
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    tst_NetworkRoles test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_networkroles.moc"

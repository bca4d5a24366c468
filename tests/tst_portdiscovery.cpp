#include "testsupport.h"
#include "widget.h"

#include <QComboBox>
#include <QSerialPort>
#include <QtTest>

#include <atomic>

// Which serial ports the window offers, and which local address it shows.
class tst_PortDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void portsThatDoNotOpenAreLeftOut();
    void refreshListsAgainWithoutTrace();
    void refreshWhileTheLinkHoldsAPort();
    void noPortButTheLineSettings();
    void localAddress_data();
    void localAddress();
};

void tst_PortDiscovery::portsThatDoNotOpenAreLeftOut()
{
#ifdef Q_OS_UNIX
    DeviceLine first, busy, last;
    QSerialPort holder(busy.portName());
    QVERIFY(holder.open(QIODevice::ReadWrite));

    // A port whose open blocks, as a Bluetooth port's does while its device
    // is paged: it must hold up neither the window nor a refresh.
    QSemaphore answer;
    std::atomic<int> blockedProbes{ 0 }, answeredProbes{ 0 };
    TraceLog trace;
    SystemProbe probe = fakeProbe({ first.portName(), busy.portName(), "/dev/tavrik-no-such-port",
                                    "blocking", last.portName() });
    probe.portOpens = [&](const QString &name) {
        if (name != QLatin1String("blocking"))
            return SystemProbe::openAndClose(name);
        ++blockedProbes;
        answer.tryAcquire(1, 10000);
        ++answeredProbes;
        return true;
    };
    Widget window(probe);
    QCOMPARE(answeredProbes.load(), 0);
    QCOMPARE(trace.count("#######"), 5);
    auto *ports = window.findChild<QComboBox *>("ComBC");
    const QStringList opened = { first.portName(), last.portName() };
    QTRY_COMPARE(itemTexts(ports), opened);
    QCOMPARE(ports->currentText(), first.portName());

    QTest::mouseClick(window.findChild<QWidget *>("CheckBtn"), Qt::LeftButton);
    QTRY_COMPARE(blockedProbes.load(), 2);
    waitForPortScan(window);
    QCOMPARE(itemTexts(ports), opened);
    QCOMPARE(answeredProbes.load(), 0);
    answer.release(2);

    // The probe leaves no port open behind it.
    QSerialPort again(first.portName());
    QVERIFY(again.open(QIODevice::ReadWrite));
    QTRY_COMPARE(answeredProbes.load(), 2);
#else
    QSKIP("plays the ports on pseudo-terminals");
#endif
}

void tst_PortDiscovery::refreshListsAgainWithoutTrace()
{
#ifdef Q_OS_UNIX
    DeviceLine a, b;
    QStringList reported = { a.portName(), b.portName() };
    SystemProbe probe = fakeProbe({});
    probe.serialPortNames = [&reported] { return reported; };
    WindowRig rig(probe);
    auto *ports = rig.find<QComboBox>("ComBC");
    ports->setCurrentIndex(1);

    TraceLog trace;
    rig.refreshPorts();
    rig.refreshPorts();
    QCOMPARE(itemTexts(ports), reported);
    QCOMPARE(ports->currentIndex(), 0);
    QVERIFY(trace.lines().isEmpty());

    DeviceLine c;
    reported.append(c.portName());
    rig.refreshPorts();
    QCOMPARE(itemTexts(ports), reported);
#else
    QSKIP("plays the ports on pseudo-terminals");
#endif
}

void tst_PortDiscovery::refreshWhileTheLinkHoldsAPort()
{
#ifdef Q_OS_UNIX
    DeviceLine a, b;
    WindowRig rig({ a.portName(), b.portName() });
    rig.openSerial(a);

    rig.refreshPorts();
    QCOMPARE(itemTexts(rig.find<QComboBox>("ComBC")), QStringList({ b.portName() }));

    // The open link goes on undisturbed.
    a.write("$GPGGA\r\n");
    QTRY_VERIFY(rig.serialText().contains("$GPGGA"));
#else
    QSKIP("plays the ports on pseudo-terminals");
#endif
}

void tst_PortDiscovery::noPortButTheLineSettings()
{
    TraceLog trace;
    WindowRig rig;
    QCOMPARE(trace.count("#######"), 0);
    QCOMPARE(rig.find<QComboBox>("ComBC")->count(), 0);
    QCOMPARE(itemTexts(rig.find<QComboBox>("BaudCB")),
             QStringList({ "115200", "57600", "38400", "19200", "9600", "4800", "2400", "1200" }));
    QCOMPARE(itemTexts(rig.find<QComboBox>("DataBitsCB")), QStringList({ "8", "7", "6", "5" }));
    QCOMPARE(itemTexts(rig.find<QComboBox>("ParityCB")),
             QStringList({ "无校验", "奇校验", "偶校验" }));
    QCOMPARE(itemTexts(rig.find<QComboBox>("StopCB")), QStringList({ "1", "1.5", "2" }));
    QCOMPARE(itemTexts(rig.find<QComboBox>("FlowsCB")),
             QStringList({ "off", "RTS/CTS", "XON/XOFF" }));
}

void tst_PortDiscovery::localAddress_data()
{
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<QString>("shown");

    QTest::newRow("IPv6 first") << QStringList({ "::1", "fe80::1", "10.1.2.3", "10.9.9.9" })
                                << "10.1.2.3";
    QTest::newRow("loopback and IPv6 only")
            << QStringList({ "127.0.0.1", "::1", "2001:db8::5" }) << "";
    QTest::newRow("two IPv4, first listed wins")
            << QStringList({ "172.16.0.7", "10.0.0.5" }) << "172.16.0.7";
    QTest::newRow("only 127.0.0.1 counts as loopback")
            << QStringList({ "127.0.0.1", "127.0.1.1", "10.0.0.5" }) << "127.0.1.1";
    QTest::newRow("0.0.0.0 is skipped")
            << QStringList({ "0.0.0.0", "192.168.1.4" }) << "192.168.1.4";
    QTest::newRow("no address") << QStringList() << "";
}

void tst_PortDiscovery::localAddress()
{
    QFETCH(QStringList, addresses);
    QFETCH(QString, shown);

    QList<QHostAddress> list;
    for (const QString &text : addresses)
        list.append(QHostAddress(text));
    WindowRig rig(fakeProbe({}, list));
    QCOMPARE(rig.text("lEditIpAddr"), shown);
}

QTEST_MAIN(tst_PortDiscovery)
#include "tst_portdiscovery.moc"

#include "testsupport.h"
#include "widget.h"

#include <QComboBox>
#include <QLineEdit>
#include <QSerialPort>
#include <QtTest>

// Which serial ports the window offers, and which local address it shows.
class tst_PortDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void busyAndMissingPortsAreLeftOut();
    void noPortAtAll();
    void refreshListsAgainWithoutTrace();
    void refreshWhileTheLinkHoldsAPort();
    void lineSettingChoices();
    void localAddress_data();
    void localAddress();
};

void tst_PortDiscovery::busyAndMissingPortsAreLeftOut()
{
#ifdef Q_OS_UNIX
    Pty first, busy, last;
    QSerialPort holder(busy.slavePath());
    QVERIFY(holder.open(QIODevice::ReadWrite));

    TraceLog trace;
    const QStringList reported = { first.slavePath(), busy.slavePath(), "/dev/tavrik-no-such-port",
                                   last.slavePath() };
    Widget window(fakeProbe(reported));

    QCOMPARE(trace.count("#######"), 4);
    auto *ports = window.findChild<QComboBox *>("ComBC");
    QCOMPARE(itemTexts(ports), QStringList({ first.slavePath(), last.slavePath() }));
    QCOMPARE(ports->currentText(), first.slavePath());

    // The probe leaves no port open behind it.
    QSerialPort again(first.slavePath());
    QVERIFY(again.open(QIODevice::ReadWrite));
#else
    QSKIP("plays the ports on pseudo-terminals");
#endif
}

void tst_PortDiscovery::noPortAtAll()
{
    TraceLog trace;
    Widget window(fakeProbe({}));
    QCOMPARE(trace.count("#######"), 0);
    QCOMPARE(window.findChild<QComboBox *>("ComBC")->count(), 0);
    QCOMPARE(window.findChild<QComboBox *>("BaudCB")->count(), 8);
}

void tst_PortDiscovery::refreshListsAgainWithoutTrace()
{
#ifdef Q_OS_UNIX
    Pty a, b;
    QStringList reported = { a.slavePath(), b.slavePath() };
    SystemProbe probe = fakeProbe({});
    probe.serialPortNames = [&reported] { return reported; };
    Widget window(probe);
    auto *ports = window.findChild<QComboBox *>("ComBC");
    ports->setCurrentIndex(1);

    TraceLog trace;
    auto *refresh = window.findChild<QWidget *>("CheckBtn");
    QTest::mouseClick(refresh, Qt::LeftButton);
    QTest::mouseClick(refresh, Qt::LeftButton);
    QCOMPARE(itemTexts(ports), reported);
    QCOMPARE(ports->currentIndex(), 0);
    QVERIFY(trace.lines().isEmpty());

    Pty c;
    reported.append(c.slavePath());
    QTest::mouseClick(refresh, Qt::LeftButton);
    QCOMPARE(itemTexts(ports), reported);
#else
    QSKIP("plays the ports on pseudo-terminals");
#endif
}

void tst_PortDiscovery::refreshWhileTheLinkHoldsAPort()
{
#ifdef Q_OS_UNIX
    Pty a, b;
    Widget window(fakeProbe({ a.slavePath(), b.slavePath() }));
    openSerialLink(window, a);

    QTest::mouseClick(window.findChild<QWidget *>("CheckBtn"), Qt::LeftButton);
    QCOMPARE(itemTexts(window.findChild<QComboBox *>("ComBC")), QStringList({ b.slavePath() }));

    // The open link goes on undisturbed.
    a.write("$GPGGA\r\n");
    QTRY_VERIFY(window.findChild<QWidget *>("textEdit_Servce")->property("plainText").toString().contains("$GPGGA"));
#else
    QSKIP("plays the ports on pseudo-terminals");
#endif
}

void tst_PortDiscovery::lineSettingChoices()
{
    Widget window(fakeProbe({}));
    QCOMPARE(itemTexts(window.findChild<QComboBox *>("BaudCB")),
             QStringList({ "115200", "57600", "38400", "19200", "9600", "4800", "2400", "1200" }));
    QCOMPARE(itemTexts(window.findChild<QComboBox *>("DataBitsCB")), QStringList({ "8", "7", "6", "5" }));
    QCOMPARE(itemTexts(window.findChild<QComboBox *>("ParityCB")),
             QStringList({ "无校验", "奇校验", "偶校验" }));
    QCOMPARE(itemTexts(window.findChild<QComboBox *>("StopCB")), QStringList({ "1", "1.5", "2" }));
    QCOMPARE(itemTexts(window.findChild<QComboBox *>("FlowsCB")),
             QStringList({ "off", "RTS/CTS", "XON/XOFF" }));
}

void tst_PortDiscovery::localAddress_data()
{
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<QString>("shown");

    QTest::newRow("IPv6 first") << QStringList({ "::1", "fe80::1", "10.1.2.3", "10.9.9.9" })
                                << "10.1.2.3";
    QTest::newRow("loopback and IPv6 only") << QStringList({ "127.0.0.1", "::1", "2001:db8::5" })
                                            << "";
    QTest::newRow("two IPv4, first listed wins") << QStringList({ "172.16.0.7", "10.0.0.5" })
                                                  << "172.16.0.7";
    QTest::newRow("only 127.0.0.1 counts as loopback")
        << QStringList({ "127.0.0.1", "127.0.1.1", "10.0.0.5" }) << "127.0.1.1";
    QTest::newRow("0.0.0.0 is skipped") << QStringList({ "0.0.0.0", "192.168.1.4" })
                                        << "192.168.1.4";
    QTest::newRow("no address") << QStringList() << "";
}

void tst_PortDiscovery::localAddress()
{
    QFETCH(QStringList, addresses);
    QFETCH(QString, shown);

    QList<QHostAddress> list;
    for (const QString &text : addresses)
        list.append(QHostAddress(text));
    Widget window(fakeProbe({}, list));
    QCOMPARE(window.findChild<QLineEdit *>("lEditIpAddr")->text(), shown);
}

QTEST_MAIN(tst_PortDiscovery)
#include "tst_portdiscovery.moc"

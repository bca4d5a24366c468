#include "windowrig.h"
#include "widget.h"

#include <QComboBox>
#include <QSerialPort>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {
// Probes that answer when the test says: each port's probe waits at a gate
// of its own. The gates outlive the test, with the probe threads.
class GatedProbes
{
public:
    ~GatedProbes()
    {
        for (const auto &gate : qAsConst(gates))
            gate->released.release(100);
    }
    // Reports `ports`; those named in `gated` wait for answer(), the others
    // open and close the port.
    SystemProbe probe(const QStringList &ports, const QStringList &gated)
    {
        SystemProbe probe = fakeProbe(ports);
        for (const QString &port : gated)
            gates.insert(port, std::make_shared<Gate>());
        probe.portOpens = [gates = gates](const QString &name) {
            const auto gate = gates.value(name);
            if (!gate)
                return SystemProbe::openAndClose(name);
            ++gate->calls;
            gate->released.acquire();
            return gate->opens.load();
        };
        return probe;
    }
    void answer(const QString &port, bool opens)
    {
        if (const auto gate = gates.value(port)) {
            gate->opens = opens;
            gate->released.release();
        }
    }
    int calls(const QString &port) const
    {
        const auto gate = gates.value(port);
        return gate ? gate->calls.load() : -1;
    }

private:
    struct Gate
    {
        QSemaphore released;
        std::atomic<bool> opens{ false };
        std::atomic<int> calls{ 0 };
    };
    QHash<QString, std::shared_ptr<Gate>> gates;
};
} // namespace

// Which serial ports the window offers, and which local address it shows.
class tst_PortDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void portsThatDoNotOpenAreLeftOut();
    void portsAreListedAsTheyAnswer();
    void refreshWhileAProbeRuns();
    void openWaitsForARunningProbe();
    void refreshListsAgainWithoutTrace();
    void refreshWhileTheLinkHoldsAPort();
    void noPortButTheLineSettings();
    void localAddress_data();
    void localAddress();
};

void tst_PortDiscovery::portsThatDoNotOpenAreLeftOut()
{
#ifdef Q_OS_UNIX
    DevicePlayer first, busy, last;
    QSerialPort holder(busy.portName());
    QVERIFY(holder.open(QIODevice::ReadWrite));
    TraceLog trace;
    WindowRig rig(
            { first.portName(), busy.portName(), "/dev/tavrik-no-such-port", last.portName() });
    QCOMPARE(trace.count("#######"), 4);
    QCOMPARE(itemTexts(rig.find<QComboBox>("ComBC")),
             QStringList({ first.portName(), last.portName() }));
    QCOMPARE(rig.find<QComboBox>("ComBC")->currentText(), first.portName());
    // The probe leaves no port open behind it.
    QSerialPort again(first.portName());
    QVERIFY(again.open(QIODevice::ReadWrite));
#else
    QSKIP("plays the ports on pseudo-terminals");
#endif
}

void tst_PortDiscovery::portsAreListedAsTheyAnswer()
{
    // One probe answers only once the window's event loop has turned: the
    // scan waits for it beside the loop, not in it. Another answers after
    // the scan has settled, and its port joins the list then.
    std::atomic<bool> loopTurned{ false };
    QTimer::singleShot(0, [&loopTurned] { loopTurned = true; });
    GatedProbes gated;
    SystemProbe probe = gated.probe({ "COM-LOOP", "COM-LATE", "COM-FAILS" }, { "COM-LATE" });
    probe.portOpens = [&loopTurned, opens = probe.portOpens](const QString &name) {
        if (name == QLatin1String("COM-LOOP"))
            return QTest::qWaitFor([&] { return loopTurned.load(); }, 5000);
        return name == QLatin1String("COM-FAILS") ? false : opens(name);
    };
    WindowRig rig(probe);
    auto *ports = rig.find<QComboBox>("ComBC");
    QCOMPARE(itemTexts(ports), QStringList({ "COM-LOOP" }));

    gated.answer("COM-LATE", true);
    QTRY_COMPARE(itemTexts(ports), QStringList({ "COM-LOOP", "COM-LATE" }));
    QCOMPARE(ports->currentText(), QStringLiteral("COM-LOOP"));
}

void tst_PortDiscovery::refreshWhileAProbeRuns()
{
    // A refresh finds the earlier scan's probe of a port still running: it
    // does not probe that port again, and counts the probe's answer. A port
    // that the system no longer reports is not listed.
    GatedProbes gated;
    QStringList reported = { "COM-SLOW", "COM-GONE" };
    SystemProbe probe = gated.probe({}, { "COM-SLOW", "COM-GONE", "COM-NEW" });
    probe.serialPortNames = [&reported] { return reported; };
    WindowRig rig(probe);
    gated.answer("COM-GONE", true);
    QTRY_COMPARE(itemTexts(rig.find<QComboBox>("ComBC")), QStringList({ "COM-GONE" }));

    reported = QStringList({ "COM-NEW", "COM-SLOW" });
    rig.click("CheckBtn");
    gated.answer("COM-NEW", true);
    QVERIFY(waitForPortScan(rig.window));
    QCOMPARE(itemTexts(rig.find<QComboBox>("ComBC")), QStringList({ "COM-NEW" }));
    gated.answer("COM-SLOW", true);
    QTRY_COMPARE(itemTexts(rig.find<QComboBox>("ComBC")), QStringList({ "COM-NEW", "COM-SLOW" }));
    QCOMPARE(gated.calls("COM-SLOW"), 1);
}

void tst_PortDiscovery::openWaitsForARunningProbe()
{
#ifdef Q_OS_UNIX
    // The refresh's probe holds the port for a moment; an open pressed
    // meanwhile waits for it, and opens.
    DeviceFirst line;
    SystemProbe probe = fakeProbe({ line.device.portName() });
    probe.portOpens = [](const QString &name) {
        QSerialPort port(name);
        if (!port.open(QIODevice::ReadWrite))
            return false;
        QThread::msleep(500);
        return true;
    };
    WindowRig rig(probe);
    rig.click("CheckBtn");
    rig.click("ConnectBtn");
    QCOMPARE(rig.caption("ConnectBtn"), QStringLiteral("串口关闭"));
    QVERIFY(rig.boxes.texts.isEmpty());
#else
    QSKIP("plays the port on a pseudo-terminal");
#endif
}

void tst_PortDiscovery::refreshListsAgainWithoutTrace()
{
#ifdef Q_OS_UNIX
    DevicePlayer a, b;
    QStringList reported = { a.portName(), b.portName() };
    SystemProbe probe = fakeProbe({});
    probe.serialPortNames = [&reported] { return reported; };
    WindowRig rig(probe);
    auto *ports = rig.find<QComboBox>("ComBC");
    ports->setCurrentIndex(1);

    TraceLog trace;
    QVERIFY(rig.refreshPorts());
    QVERIFY(rig.refreshPorts());
    QCOMPARE(itemTexts(ports), reported);
    QCOMPARE(ports->currentIndex(), 0);
    QVERIFY(trace.lines().isEmpty());

    DevicePlayer c;
    reported.append(c.portName());
    QVERIFY(rig.refreshPorts());
    QCOMPARE(itemTexts(ports), reported);
#else
    QSKIP("plays the ports on pseudo-terminals");
#endif
}

void tst_PortDiscovery::refreshWhileTheLinkHoldsAPort()
{
#ifdef Q_OS_UNIX
    DevicePlayer a, b;
    WindowRig rig({ a.portName(), b.portName() });
    QVERIFY(rig.openSerial(a));

    QVERIFY(rig.refreshPorts());
    QCOMPARE(itemTexts(rig.find<QComboBox>("ComBC")), QStringList({ b.portName() }));

    // The open link goes on undisturbed.
    QVERIFY(a.write("$GPGGA\r\n"));
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

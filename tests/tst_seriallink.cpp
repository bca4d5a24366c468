#include "paragraphlog.h"
#include "windowrig.h"
#include "widget.h"

#include <QComboBox>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>

// The serial link as the operator drives it, with a pseudo-terminal as device.
class tst_SerialLink : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { SKIP_WITHOUT_DEVICE_PLAYER(); }
    void openAppliesSettings_data();
    void openAppliesSettings();
    void closeUnlocksAndSendsNothing();
    void failedOpenStaysIdle_data();
    void failedOpenStaysIdle();
    void reopeningReadsEachBlockOnce();
    void deviceGoneAndBack();
    void eachReadIsAParagraph();
    void clearEmptiesBothViews();

private:
    using Rig = DeviceWindowRig;
    static const QStringList lockedLists;
    static bool listsEnabled(WindowRig &rig, bool enabled);
};

const QStringList tst_SerialLink::lockedLists = { "ComBC",    "BaudCB", "DataBitsCB",
                                                  "ParityCB", "StopCB", "FlowsCB" };

bool tst_SerialLink::listsEnabled(WindowRig &rig, bool enabled)
{
    for (const QString &name : lockedLists) {
        if (rig.find<QWidget>(name)->isEnabled() != enabled)
            return false;
    }
    return true;
}

void tst_SerialLink::openAppliesSettings_data()
{
    QTest::addColumn<QString>("baud");
    QTest::addColumn<QString>("bits");
    QTest::addColumn<QString>("parity");
    QTest::addColumn<QString>("stop");
    QTest::addColumn<QString>("flow");
    QTest::addColumn<QStringList>("changes");

    // A port starts at 9600 baud, one stop bit, no flow control: only what
    // differs from that shows up as a change.
    QTest::newRow("defaults") << "115200"
                              << "8"
                              << "无校验"
                              << "1"
                              << "off" << QStringList({ "baud 115200 3" });
    QTest::newRow("57600 7E2 XON/XOFF")
            << "57600"
            << "7"
            << "偶校验"
            << "2"
            << "XON/XOFF" << QStringList({ "baud 57600 3", "stop 2", "flow 2" });
    QTest::newRow("1200 5O1.5 RTS/CTS")
            << "1200"
            << "5"
            << "奇校验"
            << "1.5"
            << "RTS/CTS" << QStringList({ "baud 1200 3", "parity 3", "stop 3", "flow 1" });
    QTest::newRow("9600 6N1") << "9600"
                              << "6"
                              << "无校验"
                              << "1"
                              << "off" << QStringList();
}

void tst_SerialLink::openAppliesSettings()
{
    QFETCH(QString, baud);
    QFETCH(QString, bits);
    QFETCH(QString, parity);
    QFETCH(QString, stop);
    QFETCH(QString, flow);

    Rig rig;
    rig.choose("BaudCB", baud);
    rig.choose("DataBitsCB", bits);
    rig.choose("ParityCB", parity);
    rig.choose("StopCB", stop);
    rig.choose("FlowsCB", flow);

    // The settings are followed through the port's change signals, in the
    // order they are applied. A pseudo-terminal refuses data bits other than
    // 8 and keeps only odd parity: a swap of the two parity choices shows as
    // odd parity missing where "奇校验" was chosen.
    auto *port = rig.find<QSerialPort>();
    QVERIFY(port);
    QStringList changes;
    connect(port, &QSerialPort::baudRateChanged, this,
            [&](qint32 rate, QSerialPort::Directions directions) {
                changes << QString("baud %1 %2").arg(rate).arg(int(directions));
            });
    connect(port, &QSerialPort::parityChanged, this,
            [&](QSerialPort::Parity value) { changes << QString("parity %1").arg(value); });
    connect(port, &QSerialPort::stopBitsChanged, this,
            [&](QSerialPort::StopBits value) { changes << QString("stop %1").arg(value); });
    connect(port, &QSerialPort::flowControlChanged, this,
            [&](QSerialPort::FlowControl value) { changes << QString("flow %1").arg(value); });

    TraceLog trace;
    QVERIFY(rig.openSerial());
    QCOMPARE(trace.lines(), QStringList({ "***********" }));
    QCOMPARE(rig.caption("ConnectBtn"), QStringLiteral("串口关闭"));
    QVERIFY(listsEnabled(rig, false));
#ifdef Q_OS_UNIX
    // What a Linux pseudo-terminal keeps of the settings; the far end of a
    // null-modem cable shows none of them.
    QTEST(changes, "changes");
    const termios line = rig.device.attributes();
    const QHash<QString, speed_t> speeds = {
        { "115200", B115200 }, { "57600", B57600 }, { "1200", B1200 }, { "9600", B9600 }
    };
    QCOMPARE(cfgetospeed(&line), speeds.value(baud));
    QCOMPARE(cfgetispeed(&line), speeds.value(baud));
    QCOMPARE(bool(line.c_cflag & CSTOPB), stop == QLatin1String("2"));
    QCOMPARE(bool(line.c_cflag & CRTSCTS), flow == QLatin1String("RTS/CTS"));
    QCOMPARE(bool(line.c_iflag & IXON), flow == QLatin1String("XON/XOFF"));
#endif
}

void tst_SerialLink::closeUnlocksAndSendsNothing()
{
    Rig rig;
    rig.choose("BaudCB", "38400");
    QVERIFY(rig.openSerial());
    rig.click("ConnectBtn");

    QCOMPARE(rig.caption("ConnectBtn"), QStringLiteral("串口连接"));
    QVERIFY(listsEnabled(rig, true));
    QCOMPARE(rig.find<QComboBox>("BaudCB")->currentText(), QStringLiteral("38400"));
    QVERIFY(rig.device.readFor(100).isEmpty());
    QVERIFY(rig.find("CheckBtn")->isEnabled());
    QVERIFY(rig.find("ClearBtn")->isEnabled());
}

void tst_SerialLink::failedOpenStaysIdle_data()
{
    QTest::addColumn<bool>("emptyList");
    QTest::newRow("no port listed") << true;
    QTest::newRow("port taken since the scan") << false;
}

void tst_SerialLink::failedOpenStaysIdle()
{
    QFETCH(bool, emptyList);
#ifdef Q_OS_WIN
    if (!emptyList)
        QSKIP("Wine lets a second program open a COM port that one holds");
#endif

    DevicePlayer device;
    WindowRig rig(emptyList ? QStringList() : QStringList{ device.portName() });
    QSerialPort holder(device.portName());
    QVERIFY(holder.open(QIODevice::ReadWrite));

    TraceLog trace;
    rig.click("ConnectBtn");

    QCOMPARE(rig.boxes.titles, QStringList({ "错误" }));
    QCOMPARE(rig.boxes.texts, QStringList({ "串口打开失败!" }));
    QCOMPARE(trace.lines(), QStringList({ "***********" }));
    QCOMPARE(rig.caption("ConnectBtn"), QStringLiteral("串口连接"));
    QVERIFY(listsEnabled(rig, true));
    QVERIFY(device.readFor(100).isEmpty());

    // Once the port is free, the next click opens it.
    if (!emptyList) {
        holder.close();
        QVERIFY(rig.openSerial(device));
        QCOMPARE(rig.caption("ConnectBtn"), QStringLiteral("串口关闭"));
    }
}

void tst_SerialLink::reopeningReadsEachBlockOnce()
{
    Rig rig;
    for (int i = 0; i < 3; ++i) {
        QVERIFY(rig.openSerial());
        rig.click("ConnectBtn");
    }
    QVERIFY(rig.openSerial());

    TraceLog trace;
    QVERIFY(rig.device.write("$GPGGA,1*00\r\n"));
    QTRY_VERIFY(rig.serialText().contains("$GPGGA"));
    QTest::qWait(3 * ParagraphLog::refreshIntervalMs);
    QCOMPARE(rig.serialView()->document()->blockCount(), 1);
    QCOMPARE(trace.count("向服务器写入数据失败"), 0);

    // A read that finds nothing has nothing to send, and says so once. No
    // device can make the port announce bytes that are not there, so the
    // slot is called as the port would call it.
    QVERIFY(QMetaObject::invokeMethod(&rig.window, "doProcessSerialRead"));
    QCOMPARE(trace.count("向服务器写入数据失败"), 1);
}

void tst_SerialLink::deviceGoneAndBack()
{
#ifndef Q_OS_UNIX
    QSKIP("a null-modem cable cannot be unplugged from the test");
#else
    // The device goes: the link returns to idle and says so once. It comes
    // back under a new name: a refresh finds it and it opens.
    auto device = std::make_unique<DevicePlayer>();
    QStringList reported = { device->portName() };
    SystemProbe probe = fakeProbe({});
    probe.serialPortNames = [&reported] { return reported; };
    WindowRig rig(probe);
    QVERIFY(rig.openSerial(*device));

    device->hangUp();
    QTRY_COMPARE(rig.caption("ConnectBtn"), QStringLiteral("串口连接"));
    QTRY_COMPARE(rig.boxes.texts.size(), 1);
    QTest::qWait(200);
    QCOMPARE(rig.boxes.titles, QStringList({ "错误" }));
    QCOMPARE(rig.boxes.texts, QStringList({ "串口连接已断开!" }));
    QVERIFY(listsEnabled(rig, true));

    device = std::make_unique<DevicePlayer>();
    reported = QStringList{ device->portName() };
    QVERIFY(rig.refreshPorts());
    QVERIFY(rig.openSerial(*device));
    QCOMPARE(rig.caption("ConnectBtn"), QStringLiteral("串口关闭"));
    QVERIFY(device->write("back\r\n"));
    QTRY_VERIFY(rig.serialText().contains("back"));
#endif
}

// How a read shows is the display text's test: here, that each read reaches
// the view as a paragraph of its own, even a CR LF split across two.
void tst_SerialLink::eachReadIsAParagraph()
{
    // No network link is up: what is read is shown all the same.
    Rig rig;
    QVERIFY(rig.openSerial());
    // Each write arrives as a read of its own; the last one marks the end.
    for (const QByteArray &bytes : { QByteArray("AB\r"), QByteArray("\nCD") }) {
        QVERIFY(rig.device.write(bytes));
        QTest::qWait(50);
    }
    QVERIFY(rig.device.write("END"));
    QTRY_VERIFY(rig.serialText().endsWith("END"));
    QStringList shown;
    for (QTextBlock block = rig.serialView()->document()->begin(); block.isValid();
         block = block.next())
        shown.append(block.text());
    // QTextDocument keeps a lone CR or LF inside a paragraph as a separator.
    const QChar separator = QChar::ParagraphSeparator;
    QCOMPARE(shown.join(separator),
             QStringList({ "AB\r", "\nCD", "END" })
                     .join('\n')
                     .replace('\r', separator)
                     .replace('\n', separator));
}

void tst_SerialLink::clearEmptiesBothViews()
{
    Rig rig;
    QVERIFY(rig.openSerial());
    QVERIFY(rig.device.write("one\r\n"));
    QTRY_VERIFY(!rig.serialText().isEmpty());
    auto *netView = rig.find<QTextEdit>("textEdit_Client");
    netView->append("from the network");

    rig.click("ClearBtn");
    QVERIFY(rig.serialText().isEmpty());
    QVERIFY(netView->toPlainText().isEmpty());

    QVERIFY(rig.device.write("two\r\n"));
    QTRY_COMPARE(rig.serialText(), QStringLiteral("two "));
}

QTEST_MAIN(tst_SerialLink)
#include "tst_seriallink.moc"

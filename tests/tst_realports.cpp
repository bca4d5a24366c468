#include "fakeserialports.h"
#include "testsupport.h"
#include "widget.h"

#include <QApplication>
#include <QComboBox>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QtTest>

// The window against the system's real port enumeration, with made-up USB
// adapters: the program's own probe, not a stand-in.
class tst_RealPorts : public QObject
{
    Q_OBJECT

private slots:
    void startUpListsThePortsThatOpen();
    void refreshFollowsPlugAndUnplug();

private:
    static QStringList listed(Widget &window);
};

QStringList tst_RealPorts::listed(Widget &window)
{
    return itemTexts(window.findChild<QComboBox *>("ComBC"));
}

void tst_RealPorts::startUpListsThePortsThatOpen()
{
    FakeSerialPorts adapters;
    const QString first = adapters.plug();
    const QString busy = adapters.plug();
    const QString last = adapters.plug();
    QVERIFY(!first.isEmpty() && !busy.isEmpty() && !last.isEmpty());

    QStringList reported;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        reported.append(info.portName());
    QCOMPARE(reported.size(), 3);

    QSerialPort holder(busy);
    QVERIFY(holder.open(QIODevice::ReadWrite));

    TraceLog trace;
    Widget window;
    waitForPortScan(window);
    QCOMPARE(trace.count("#######"), 3);
    reported.removeAll(busy);
    QCOMPARE(listed(window), reported);
}

void tst_RealPorts::refreshFollowsPlugAndUnplug()
{
    FakeSerialPorts adapters;
    const QString a = adapters.plug();
    Widget window;
    waitForPortScan(window);
    QCOMPARE(listed(window), QStringList({ a }));

    const QString b = adapters.plug();
    TraceLog trace;
    auto *refresh = window.findChild<QWidget *>("CheckBtn");
    QTest::mouseClick(refresh, Qt::LeftButton);
    waitForPortScan(window);
    QCOMPARE(listed(window).size(), 2);
    QVERIFY(listed(window).contains(b));

    adapters.unplug(a);
    QTest::mouseClick(refresh, Qt::LeftButton);
    waitForPortScan(window);
    QCOMPARE(listed(window), QStringList({ b }));
    QVERIFY(trace.lines().isEmpty());
}

int main(int argc, char *argv[])
{
    return FakeSerialPorts::runTest<tst_RealPorts>(argc, argv);
}

#include "tst_realports.moc"

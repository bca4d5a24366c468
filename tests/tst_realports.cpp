#include "fakeserialports.h"
#include "windowrig.h"
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
    static QStringList listed(WindowRig &rig);
};

QStringList tst_RealPorts::listed(WindowRig &rig)
{
    return itemTexts(rig.find<QComboBox>("ComBC"));
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
    WindowRig rig(SystemProbe::live());
    QCOMPARE(trace.count("#######"), 3);
    reported.removeAll(busy);
    QCOMPARE(listed(rig), reported);
}

void tst_RealPorts::refreshFollowsPlugAndUnplug()
{
    FakeSerialPorts adapters;
    const QString a = adapters.plug();
    WindowRig rig(SystemProbe::live());
    QCOMPARE(listed(rig), QStringList({ a }));

    const QString b = adapters.plug();
    TraceLog trace;
    QVERIFY(rig.refreshPorts());
    QCOMPARE(listed(rig).size(), 2);
    QVERIFY(listed(rig).contains(b));

    adapters.unplug(a);
    QVERIFY(rig.refreshPorts());
    QCOMPARE(listed(rig), QStringList({ b }));
    QVERIFY(trace.lines().isEmpty());
}

int main(int argc, char *argv[])
{
    return FakeSerialPorts::runTest<tst_RealPorts>(argc, argv);
}

#include "tst_realports.moc"

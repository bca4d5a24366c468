#ifndef FAKESERIALPORTS_H
#define FAKESERIALPORTS_H

#include "deviceplayer.h"

#include <QApplication>
#include <QString>
#include <QTest>

#include <cstdio>

#include <map>
#include <memory>

// Makes pseudo-terminals show up as USB serial adapters in the system's own
// port enumeration, inside a private mount namespace of this process: a
// made-up sysfs tree under /sys/class/tty and the pty slave bind-mounted on
// /dev/ttyUSB<n>. Needs root; enter() says why when it cannot be had.
class FakeSerialPorts
{
public:
    // Call once, before any thread is started.
    static bool enter(QString *why);
    // Removes what enter() left outside the namespace.
    static void leave();

    // Runs the test class inside the namespace; skips (exit code 77) when it
    // cannot be had.
    template<typename Test>
    static int runTest(int argc, char *argv[])
    {
        QString why;
        if (!enter(&why)) {
            std::printf("SKIP: %s %s\n", Test::staticMetaObject.className(), qPrintable(why));
            return 77;
        }
        int result = 0;
        {
            QApplication app(argc, argv);
            Test test;
            result = QTest::qExec(&test, argc, argv);
        }
        leave();
        return result;
    }

    FakeSerialPorts() = default;
    ~FakeSerialPorts();
    FakeSerialPorts(const FakeSerialPorts &) = delete;
    FakeSerialPorts &operator=(const FakeSerialPorts &) = delete;

    // Plugs in a new adapter and returns its port name (ttyUSB<n>).
    QString plug();
    // Plugs in an adapter whose device side someone else plays, such as the
    // receiver simulator, on the pseudo-terminal with this slave.
    QString plug(const QString &slavePath);
    // The device side of an adapter made by plug().
    DevicePlayer &device(const QString &name) { return *ports.at(name); }
    // The adapter goes away: the port is no longer listed and, for an adapter
    // made by plug(), the line hangs up.
    void unplug(const QString &name);

private:
    std::map<QString, std::unique_ptr<DevicePlayer>> ports;
};

#endif // FAKESERIALPORTS_H

#ifndef SYSTEMPROBE_H
#define SYSTEMPROBE_H

#include <QHostAddress>
#include <QList>
#include <QStringList>

#include <functional>

// What the window asks the machine at start-up and on a port refresh: the
// serial ports the system reports, whether one of them opens right now, and
// the local addresses. The program uses live(); tests hand the window answers
// of their own (pseudo-terminals, made-up address sets, ports whose open
// blocks) through the same object.
struct SystemProbe
{
    std::function<QStringList()> serialPortNames;
    // Opens the port for reading and writing and closes it again; true when
    // it opened. Called on a thread of its own, and may block.
    std::function<bool(const QString &)> portOpens;
    std::function<QList<QHostAddress>()> localAddresses;

    static SystemProbe live();
    static bool openAndClose(const QString &portName);
};

#endif // SYSTEMPROBE_H

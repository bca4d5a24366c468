#ifndef SYSTEMPROBE_H
#define SYSTEMPROBE_H

#include <QHostAddress>
#include <QList>
#include <QStringList>

#include <functional>

// What the window asks the machine at start-up and on a port refresh: the
// serial ports the system reports and the local addresses. The program uses
// live(); tests hand the window lists of their own (pseudo-terminals, made-up
// address sets) through the same object.
struct SystemProbe
{
    std::function<QStringList()> serialPortNames;
    std::function<QList<QHostAddress>()> localAddresses;

    static SystemProbe live();
};

#endif // SYSTEMPROBE_H

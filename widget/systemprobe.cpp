#include "systemprobe.h"

#include <QNetworkInterface>
#include <QSerialPort>
#include <QSerialPortInfo>

#ifdef Q_OS_WIN
#  include <qt_windows.h>
#endif

SystemProbe SystemProbe::live()
{
    SystemProbe probe;
    probe.serialPortNames = [] {
        QStringList names;
        const auto ports = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo &info : ports)
            names.append(info.portName());
        return names;
    };
    probe.portOpens = openAndClose;
    probe.localAddresses = [] { return QNetworkInterface::allAddresses(); };
    return probe;
}

bool SystemProbe::openAndClose(const QString &portName)
{
    QSerialPort port;
    port.setPortName(portName);
    if (!port.open(QIODevice::ReadWrite))
        return false;
    port.close();
#ifdef Q_OS_WIN
    // Closing cancels the port's wait for bytes, and the cancelled wait frees
    // its state in a completion routine that runs only in this thread.
    SleepEx(0, TRUE);
#endif
    return true;
}

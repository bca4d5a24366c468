#include "systemprobe.h"

#include <QNetworkInterface>
#include <QSerialPortInfo>

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
    probe.localAddresses = [] { return QNetworkInterface::allAddresses(); };
    return probe;
}

#ifndef SERIALSETTINGS_H
#define SERIALSETTINGS_H

#include <QSerialPort>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <utility>

// The line settings offered in the serial lists, in list order. The texts are
// both what the operator sees and the keys that an open looks up.
namespace SerialSettings {

inline const std::pair<const char *, qint32> baudRates[] = {
    { "115200", 115200 }, { "57600", 57600 }, { "38400", 38400 }, { "19200", 19200 },
    { "9600", 9600 },     { "4800", 4800 },   { "2400", 2400 },   { "1200", 1200 },
};
inline const std::pair<const char *, QSerialPort::DataBits> dataBits[] = {
    { "8", QSerialPort::Data8 },
    { "7", QSerialPort::Data7 },
    { "6", QSerialPort::Data6 },
    { "5", QSerialPort::Data5 },
};
inline const std::pair<const char *, QSerialPort::Parity> parities[] = {
    { "无校验", QSerialPort::NoParity },
    { "奇校验", QSerialPort::OddParity },
    { "偶校验", QSerialPort::EvenParity },
};
inline const std::pair<const char *, QSerialPort::StopBits> stopBits[] = {
    { "1", QSerialPort::OneStop },
    { "1.5", QSerialPort::OneAndHalfStop },
    { "2", QSerialPort::TwoStop },
};
inline const std::pair<const char *, QSerialPort::FlowControl> flowControls[] = {
    { "off", QSerialPort::NoFlowControl },
    { "RTS/CTS", QSerialPort::HardwareControl },
    { "XON/XOFF", QSerialPort::SoftwareControl },
};

template<typename T, std::size_t N>
QStringList textsOf(const std::pair<const char *, T> (&choices)[N])
{
    QStringList texts;
    for (const auto &choice : choices)
        texts.append(QString::fromUtf8(choice.first));
    return texts;
}

// Calls apply with the value of the choice whose text is exactly text; a text
// that is not offered leaves the setting alone.
template<typename T, std::size_t N, typename Apply>
void applyChoice(const std::pair<const char *, T> (&choices)[N], const QString &text, Apply apply)
{
    for (const auto &choice : choices) {
        if (text == QString::fromUtf8(choice.first)) {
            apply(choice.second);
            return;
        }
    }
}

} // namespace SerialSettings

#endif // SERIALSETTINGS_H

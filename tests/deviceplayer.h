#ifndef DEVICEPLAYER_H
#define DEVICEPLAYER_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#ifdef Q_OS_UNIX
#  include <termios.h>
#else
#  include <QSerialPort>
#endif

// The far end of the serial line, where the test plays the device. On Unix it is a
// pseudo-terminal pair: the window opens the slave, the test plays the device
// on the master. On Windows it is the far end of the null-modem cable that
// the test rig lays between two COM ports (TAVRIK_DEVICE_LINE="COM5:COM6"):
// the window opens the first, the test plays the device on the second.
class DevicePlayer
{
public:
    DevicePlayer();
    ~DevicePlayer();
    DevicePlayer(const DevicePlayer &) = delete;
    DevicePlayer &operator=(const DevicePlayer &) = delete;

    // Whether this machine can lay a line: on Windows only inside the rig.
    static bool available();
    bool isValid() const;
    // The port the window opens.
    QString portName() const { return windowPort; }

    // Writes as the device, within 10 s; false when the line did not take it all.
    [[nodiscard]] bool write(const QByteArray &bytes);
    // Reads what the window has written, running its event loop meanwhile,
    // until at least `atLeast` bytes came or `timeoutMs` passed; a read takes
    // at most 4096 bytes at a time.
    QByteArray read(int atLeast, int timeoutMs = 3000);
    // What has arrived within `ms`, for checking that nothing more comes.
    QByteArray readFor(int ms);
#ifdef Q_OS_UNIX
    termios attributes() const;
    // The device's end, for a thread that plays the device without an event loop.
    int deviceDescriptor() const
    {
        return master;
    }
    // The device goes away: the other side sees a hang-up. A null-modem
    // cable cannot do that, hence Unix only.
    void hangUp();
#endif

private:
    // What has arrived, at most 4096 bytes; empty when nothing has.
    QByteArray readPiece();

    QString windowPort;
#ifdef Q_OS_UNIX
    int master = -1;
#else
    QSerialPort device;
#endif
};

// For the initTestCase() of a suite that plays a device.
#define SKIP_WITHOUT_DEVICE_PLAYER() \
  do { \
    if (!DevicePlayer::available()) \
      QSKIP("needs a device line: on Windows, run through scripts/windows.sh --check"); \
  } while (false)

// The two COM ports of the rig's cable under Wine (TAVRIK_DEVICE_LINE): the
// window's, then the device's; empty elsewhere.
QStringList deviceLinePorts();

#endif // DEVICEPLAYER_H

#include "deviceplayer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <climits>

#ifdef Q_OS_UNIX
#  include <fcntl.h>
#  include <stdlib.h>
#  include <unistd.h>
#endif

QStringList deviceLinePorts()
{
    const QStringList ports = qEnvironmentVariable("TAVRIK_DEVICE_LINE").split(QLatin1Char(':'));
    return ports.size() == 2 ? ports : QStringList();
}

#ifdef Q_OS_UNIX

bool DevicePlayer::available()
{
    return true;
}

DevicePlayer::DevicePlayer()
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0)
        return;
    if (grantpt(master) != 0 || unlockpt(master) != 0) {
        ::close(master);
        master = -1;
        return;
    }
    windowPort = QString::fromLocal8Bit(ptsname(master));
}

DevicePlayer::~DevicePlayer()
{
    hangUp();
}

bool DevicePlayer::isValid() const
{
    return master >= 0;
}

bool DevicePlayer::write(const QByteArray &bytes)
{
    qint64 done = 0;
    QElapsedTimer clock;
    clock.start();
    while (done < bytes.size() && clock.elapsed() < 10000) {
        const ssize_t n = ::write(master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
    }
    return done == bytes.size();
}

QByteArray DevicePlayer::readPiece()
{
    char buffer[4096];
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    return n > 0 ? QByteArray(buffer, int(n)) : QByteArray();
}

termios DevicePlayer::attributes() const
{
    termios attributes{};
    tcgetattr(master, &attributes);
    return attributes;
}

void DevicePlayer::hangUp()
{
    if (master >= 0)
        ::close(master);
    master = -1;
}

#else

namespace {
// What the device's end of the cable buffers before it leaves the rest on
// the line.
constexpr qint64 readBufferBytes = 64 * 1024;
} // namespace

bool DevicePlayer::available()
{
    return !deviceLinePorts().isEmpty();
}

DevicePlayer::DevicePlayer()
{
    const QStringList ports = deviceLinePorts();
    if (ports.isEmpty())
        return;
    windowPort = ports.first();
    device.setPortName(ports.last());
    // A device that does not read leaves what comes to the line there, as
    // with a pseudo-terminal's master, rather than in an unbounded buffer.
    device.setReadBufferSize(readBufferBytes);
    // What an earlier test's window left on the cable is not this one's:
    // read until the cable is quiet.
    if (!device.open(QIODevice::ReadWrite))
        return;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 5000 && device.waitForReadyRead(200))
        device.readAll();
    device.readAll();
}

DevicePlayer::~DevicePlayer() = default;

bool DevicePlayer::isValid() const
{
    return device.isOpen();
}

bool DevicePlayer::write(const QByteArray &bytes)
{
    device.write(bytes);
    QElapsedTimer clock;
    clock.start();
    while (device.bytesToWrite() > 0 && clock.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return device.bytesToWrite() == 0;
}

QByteArray DevicePlayer::readPiece()
{
    const QByteArray piece = device.read(4096);
    // Qt stops reading the port while its buffer is full, and a read that
    // the buffer alone serves does not start it again; setting the bound
    // does. Otherwise the line would stay full for good once the buffer had
    // been.
    device.setReadBufferSize(readBufferBytes);
    return piece;
}

#endif

QByteArray DevicePlayer::read(int atLeast, int timeoutMs)
{
    QByteArray bytes;
    QElapsedTimer clock;
    clock.start();
    while (bytes.size() < atLeast && clock.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        const QByteArray piece = readPiece();
        if (piece.isEmpty())
            QThread::msleep(1);
        bytes += piece;
    }
    return bytes;
}

QByteArray DevicePlayer::readFor(int ms)
{
    return read(INT_MAX, ms);
}

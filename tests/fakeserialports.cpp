#include "fakeserialports.h"

#include <QDir>
#include <QFile>

#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

QString sysRoot;
int nextMinor = 0;

bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

QString devicePath(const QString &name)
{
    return QStringLiteral("/dev/") + name;
}

QString classLink(const QString &name)
{
    return QStringLiteral("/sys/class/tty/") + name;
}

} // namespace

bool FakeSerialPorts::enter(QString *why)
{
    if (geteuid() != 0) {
        *why = QStringLiteral("needs root to make serial ports appear");
        return false;
    }
    if (unshare(CLONE_NEWNS) != 0) {
        *why = QStringLiteral("cannot make a mount namespace: ")
                + QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
        || mount("tmpfs", "/sys/class/tty", "tmpfs", 0, nullptr) != 0) {
        *why = QStringLiteral("cannot mount in the namespace: ")
                + QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    char root[] = "/tmp/tavrik-sys-XXXXXX";
    if (!mkdtemp(root) || mount("tmpfs", root, "tmpfs", 0, nullptr) != 0) {
        *why = QStringLiteral("cannot mount the made-up device tree");
        return false;
    }
    sysRoot = QString::fromLatin1(root);
    // Port numbers of their own per process, so that parallel runs do not meet.
    nextMinor = 100 + int(getpid() % 100) * 8;
    return true;
}

void FakeSerialPorts::leave()
{
    if (sysRoot.isEmpty())
        return;
    umount2(sysRoot.toLocal8Bit().constData(), MNT_DETACH);
    QDir().rmdir(sysRoot);
}

FakeSerialPorts::~FakeSerialPorts()
{
    while (!ports.empty())
        unplug(ports.begin()->first);
}

QString FakeSerialPorts::plug()
{
    auto pty = std::make_unique<DevicePlayer>();
    if (!pty->isValid())
        return QString();
    const QString name = plug(pty->portName());
    if (!name.isEmpty())
        ports[name] = std::move(pty);
    return name;
}

QString FakeSerialPorts::plug(const QString &slavePath)
{
    const int minor = nextMinor++;
    const QString name = QStringLiteral("ttyUSB%1").arg(minor);

    const QString node =
            sysRoot + QStringLiteral("/devices/pci0000:00/usb1/1-1/1-1:1.0/%1/tty/%1").arg(name);
    QDir().mkpath(node + QStringLiteral("/device"));
    writeFile(node + QStringLiteral("/uevent"),
              QStringLiteral("MAJOR=188\nMINOR=%1\nDEVNAME=%2\n").arg(minor).arg(name).toLatin1());
    writeFile(node + QStringLiteral("/device/uevent"), "DRIVER=ftdi_sio\n");
    QFile::link(node, classLink(name));

    // The empty file lives in the shared /dev; the mount on it only here.
    writeFile(devicePath(name), QByteArray());
    if (mount(slavePath.toLocal8Bit().constData(), devicePath(name).toLocal8Bit().constData(),
              nullptr, MS_BIND, nullptr)
        != 0)
        return QString();
    ports[name] = nullptr;
    return name;
}

void FakeSerialPorts::unplug(const QString &name)
{
    auto port = ports.find(name);
    if (port == ports.end())
        return;
    if (port->second)
        port->second->hangUp();
    QFile::remove(classLink(name));
    umount2(devicePath(name).toLocal8Bit().constData(), MNT_DETACH);
    QFile::remove(devicePath(name));
    ports.erase(port);
}

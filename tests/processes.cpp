#include "processes.h"

#include "deviceplayer.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QStandardPaths>

PeerProcess::~PeerProcess()
{
    if (state() == QProcess::NotRunning)
        return;
    terminate();
    if (!waitForFinished(3000)) {
        kill();
        waitForFinished(3000);
    }
}

bool VirtualDisplay::start(QString *whyNot)
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty()) {
        *whyNot = QStringLiteral("needs Xvfb (package xvfb)");
        return false;
    }
    const auto socketPath = [](int display) {
        return QStringLiteral("/tmp/.X11-unix/X%1").arg(display);
    };
    for (number = 90; number < 150 && QFileInfo::exists(socketPath(number)); ++number) { }
    server.start(xvfb,
                 { QStringLiteral(":%1").arg(number), QStringLiteral("-screen"),
                   QStringLiteral("0"), QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                   QStringLiteral("tcp") });
    QElapsedTimer started;
    started.start();
    while (!QFileInfo::exists(socketPath(number)) && server.state() != QProcess::NotRunning
           && started.elapsed() < 10000)
        server.waitForFinished(50);
    if (!QFileInfo::exists(socketPath(number))) {
        *whyNot = QStringLiteral("Xvfb did not start");
        return false;
    }
    return true;
}

QProcessEnvironment VirtualDisplay::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(number));
    return environment;
}

QString Simulator::start(const QStringList &options)
{
    process.start(QStringLiteral(TAVRIK_SIM_PATH), QStringList({ "--pty" }) + options);
    if (!process.waitForStarted(3000) || !process.waitForReadyRead(3000))
        return QString();
    const QByteArray line = process.readLine().trimmed();
    return line.startsWith("pty ") ? QString::fromLocal8Bit(line.mid(4)) : QString();
}

QString Simulator::startOnDevicePlayer(const QStringList &options)
{
#ifdef Q_OS_UNIX
    return start(options);
#else
    // On the device's end of the rig's null-modem cable, as it would run on
    // one end of a real cable.
    const QStringList ports = deviceLinePorts();
    if (ports.isEmpty())
        return QString();
    process.start(QStringLiteral(TAVRIK_SIM_PATH),
                  QStringList({ "--device", ports.last() }) + options);
    return process.waitForStarted(3000) ? ports.first() : QString();
#endif
}

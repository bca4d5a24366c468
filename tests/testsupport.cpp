#include "testsupport.h"
#include "portscan.h"
#include "widget.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QComboBox>
#include <QLabel>
#include <QTextEdit>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QMessageBox>
#include <QMutex>
#include <QThread>
#include <QTcpServer>
#include <QUdpSocket>

#ifdef Q_OS_WIN
#  include <winsock2.h>
#  include <windows.h>
#endif
#ifdef Q_OS_UNIX
#  include <arpa/inet.h>
#  include <fcntl.h>
#  include <netinet/in.h>
#  include <poll.h>
#  include <stdlib.h>
#  include <sys/socket.h>
#  include <unistd.h>

bool DeviceLine::available()
{
    return true;
}

DeviceLine::DeviceLine()
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

DeviceLine::~DeviceLine()
{
    hangUp();
}

bool DeviceLine::isValid() const
{
    return master >= 0;
}

void DeviceLine::write(const QByteArray &bytes)
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
}

QByteArray DeviceLine::readPiece()
{
    char buffer[4096];
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    return n > 0 ? QByteArray(buffer, int(n)) : QByteArray();
}

termios DeviceLine::attributes() const
{
    termios attributes{};
    tcgetattr(master, &attributes);
    return attributes;
}

void DeviceLine::hangUp()
{
    if (master >= 0)
        ::close(master);
    master = -1;
}

#else

namespace {
// The two COM ports of the rig's cable: the window's, then the device's.
QStringList deviceLinePorts()
{
    const QStringList ports = qEnvironmentVariable("TAVRIK_DEVICE_LINE").split(QLatin1Char(':'));
    return ports.size() == 2 ? ports : QStringList();
}
} // namespace

bool DeviceLine::available()
{
    return !deviceLinePorts().isEmpty();
}

DeviceLine::DeviceLine()
{
    const QStringList ports = deviceLinePorts();
    if (ports.isEmpty())
        return;
    windowPort = ports.first();
    device.setPortName(ports.last());
    // A device that does not read leaves what comes to the line there, as
    // with a pseudo-terminal's master, rather than in an unbounded buffer.
    device.setReadBufferSize(64 * 1024);
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

DeviceLine::~DeviceLine() = default;

bool DeviceLine::isValid() const
{
    return device.isOpen();
}

void DeviceLine::write(const QByteArray &bytes)
{
    device.write(bytes);
    QElapsedTimer clock;
    clock.start();
    while (device.bytesToWrite() > 0 && clock.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

QByteArray DeviceLine::readPiece()
{
    return device.read(4096);
}

#endif

QByteArray DeviceLine::read(int atLeast, int timeoutMs)
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

QByteArray DeviceLine::readFor(int ms)
{
    return read(INT_MAX, ms);
}

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

QString Simulator::startOnDeviceLine(const QStringList &options)
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

namespace {
QMutex traceMutex;
QStringList traceLines;
QtMessageHandler previousHandler = nullptr;

void collectTrace(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg) {
        QMutexLocker lock(&traceMutex);
        traceLines.append(message);
    } else if (previousHandler) {
        previousHandler(type, context, message);
    }
}
} // namespace

TraceLog::TraceLog()
{
    clear();
    previousHandler = qInstallMessageHandler(collectTrace);
}

TraceLog::~TraceLog()
{
    qInstallMessageHandler(previousHandler);
}

QStringList TraceLog::lines() const
{
    QMutexLocker lock(&traceMutex);
    return traceLines;
}

void TraceLog::clear()
{
    QMutexLocker lock(&traceMutex);
    traceLines.clear();
}

MessageBoxCloser::MessageBoxCloser()
{
    connect(&timer, &QTimer::timeout, this, &MessageBoxCloser::closeActive);
    timer.start(10);
}

void MessageBoxCloser::closeActive()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box)
        return;
    titles.append(box->windowTitle());
    texts.append(box->text());
    emit shown(box->text());
    box->done(QMessageBox::Ok);
}

SystemProbe fakeProbe(const QStringList &ports, const QList<QHostAddress> &addresses)
{
    SystemProbe probe;
    probe.serialPortNames = [ports] { return ports; };
    probe.portOpens = SystemProbe::openAndClose;
    probe.localAddresses = [addresses] { return addresses; };
    return probe;
}

QHostAddress loopback()
{
    return QHostAddress(QHostAddress::LocalHost);
}

quint16 freeTcpPort()
{
    QTcpServer probe;
    probe.listen(loopback(), 0);
    return probe.serverPort();
}

#ifdef Q_OS_WIN
// Winsock's socket handles fit in an int in practice; the calls take them back.
using NativeSocket = SOCKET;
constexpr int noSignal = 0;
constexpr int shutBoth = SD_BOTH;
int closeNativeSocket(NativeSocket socket)
{
    return closesocket(socket);
}
#else
using NativeSocket = int;
constexpr int noSignal = MSG_NOSIGNAL;
constexpr int shutBoth = SHUT_RDWR;
int closeNativeSocket(NativeSocket socket)
{
    return ::close(socket);
}
#endif

int connectedSocket(quint16 port, Transport transport)
{
#ifdef Q_OS_WIN
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        return -1;
#endif
    const NativeSocket fd =
            socket(AF_INET, transport == Transport::Udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        return int(fd);
    closeNativeSocket(fd);
    return -1;
}

bool sendAll(int socket, const QByteArray &bytes)
{
    for (qsizetype sent = 0; sent < bytes.size();) {
        const int piece = int(qMin<qsizetype>(bytes.size() - sent, 1 << 20));
        const auto n = ::send(NativeSocket(socket), bytes.constData() + sent, piece, noSignal);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

void shutdownSocket(int socket)
{
    ::shutdown(NativeSocket(socket), shutBoth);
}

void closeSocket(int socket, bool reset)
{
    if (reset) {
        const linger immediately{ 1, 0 };
        setsockopt(NativeSocket(socket), SOL_SOCKET, SO_LINGER,
                   reinterpret_cast<const char *>(&immediately), sizeof immediately);
    }
    closeNativeSocket(NativeSocket(socket));
}

QByteArray readAtLeast(QIODevice *device, int atLeast)
{
    QElapsedTimer clock;
    clock.start();
    while (device->bytesAvailable() < atLeast && clock.elapsed() < 5000)
        QTest::qWait(5);
    return device->readAll();
}

CaptureDirectory::CaptureDirectory(const QString &directory)
    : previous(QDir::currentPath()), directory(directory)
{
#ifdef Q_OS_WIN
    // "D://testBase.txt" is on drive D:, which the test rig maps to a folder
    // of the suite's own; each test starts with no capture.
    QFile::remove(captureFile());
#else
    QDir(directory).mkpath(QStringLiteral("D:"));
    QDir::setCurrent(directory);
#endif
}

CaptureDirectory::~CaptureDirectory()
{
    QDir::setCurrent(previous);
}

QString CaptureDirectory::captureFile() const
{
#ifdef Q_OS_WIN
    return QStringLiteral("D:/testBase.txt");
#else
    return directory + QStringLiteral("/D:/testBase.txt");
#endif
}

QByteArray CaptureDirectory::captured() const
{
    QFile file(captureFile());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void waitForPortScan(Widget &window)
{
    const auto *scan = window.findChild<PortScan *>();
    QVERIFY(QTest::qWaitFor([scan] { return !scan->isRunning(); }, 2 * PortScan::probeTimeoutMs));
}

QStringList itemTexts(const QComboBox *combo)
{
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i)
        texts.append(combo->itemText(i));
    return texts;
}

QTextEdit *WindowRig::serialView()
{
    return find<QTextEdit>("textEdit_Servce");
}

QString WindowRig::serialText()
{
    return serialView()->toPlainText();
}

QString WindowRig::netText()
{
    return find<QTextEdit>("textEdit_Client")->toPlainText();
}

QString WindowRig::text(const char *lineEdit)
{
    return find<QLineEdit>(lineEdit)->text();
}

void WindowRig::setText(const char *lineEdit, const QString &text)
{
    find<QLineEdit>(lineEdit)->setText(text);
}

void WindowRig::choose(const char *list, const QString &text)
{
    auto *combo = find<QComboBox>(list);
    combo->setCurrentIndex(combo->findText(text));
}

void WindowRig::chooseRole(int role)
{
    find<QComboBox>("cBoxNetType")->setCurrentIndex(role);
}

void WindowRig::click(const char *button)
{
    QTest::mouseClick(find(button), Qt::LeftButton);
}

void WindowRig::refreshPorts()
{
    click("CheckBtn");
    waitForPortScan(window);
}

void WindowRig::connectRole(int role, const QString &address, const QString &port)
{
    chooseRole(role);
    setText("lEditIpAddr", address);
    setText("lEditIpPort", port);
    click("pBtnNetCnnt");
}

void WindowRig::connectUdp(quint16 target)
{
    setText("lEditUdpIP", loopback().toString());
    setText("lEditUdpPort", QString::number(target));
    connectRole(Widget::UdpRole, loopback().toString(), "0");
}

TcpServer *WindowRig::startServer()
{
    connectRole(Widget::TcpServerRole, loopback().toString(), "0");
    return window.findChild<TcpServer *>();
}

void WindowRig::connectClient(quint16 port)
{
    connectRole(Widget::TcpClientRole, loopback().toString(), QString::number(port));
}

QString WindowRig::caption(const char *button)
{
    return find<QPushButton>(button)->text();
}

QString WindowRig::state()
{
    // The label cuts long states short: its tooltip must show the same text whole.
    const auto *label = find<QLabel>("CurState");
    return label->toolTip() == label->text() ? label->text() : "tooltip: " + label->toolTip();
}

quint16 WindowRig::udpPort()
{
    return window.findChild<QUdpSocket *>()->localPort();
}

int openDescriptors()
{
#ifdef Q_OS_WIN
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    return int(handles);
#else
    // The listing's own descriptor is among the entries.
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size() - 1;
#endif
}

void WindowRig::openSerial(DeviceLine &device)
{
    QVERIFY(device.isValid());
    click("ConnectBtn");
    QCOMPARE(device.read(48), QByteArray("log gpgga ontime 5\r\ninterfacemode auto auto on\r\n"));
}

void DeviceWindowRig::openSerial()
{
    WindowRig::openSerial(device);
}

#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include "systemprobe.h"
#include "widget.h"

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QSerialPort>
#include <QString>
#include <QStringList>
#include <QTimer>

#ifdef Q_OS_UNIX
#  include <termios.h>
#endif

class QComboBox;
class QIODevice;
class QPushButton;
class QTextEdit;
class QWidget;

// The serial line to a device that the test plays. On Unix it is a
// pseudo-terminal pair: the window opens the slave, the test plays the device
// on the master. On Windows it is the far end of the null-modem cable that
// the test rig lays between two COM ports (TAVRIK_DEVICE_LINE="COM5:COM6"):
// the window opens the first, the test plays the device on the second.
class DeviceLine
{
public:
    DeviceLine();
    ~DeviceLine();
    DeviceLine(const DeviceLine &) = delete;
    DeviceLine &operator=(const DeviceLine &) = delete;

    // Whether this machine can lay a line: on Windows only inside the rig.
    static bool available();
    bool isValid() const;
    // The port the window opens.
    QString portName() const { return windowPort; }

    void write(const QByteArray &bytes);
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
#define SKIP_WITHOUT_DEVICE_LINE() \
  do { \
    if (!DeviceLine::available()) \
      QSKIP("needs a device line: on Windows, run through scripts/windows.sh --check"); \
  } while (false)

// A program the test runs beside the window, ended by its PID when the
// object goes: asked to stop, then killed if it does not.
class PeerProcess : public QProcess
{
public:
    ~PeerProcess() override;
};

// An X server of the test's own (Xvfb), for what only a real display shows.
class VirtualDisplay
{
public:
    // False when it could not start, with the reason in `whyNot`.
    bool start(QString *whyNot);
    // The environment that runs a program on this display with Qt's X11 platform.
    QProcessEnvironment environment() const;

private:
    int number = 0;
    PeerProcess server;
};

// The receiver simulator.
class Simulator
{
public:
    // Starts it on a pseudo-terminal of its own with the given options and
    // returns the slave path of its line, or an empty string when it did not
    // start. Unix only: Windows has no pseudo-terminals.
    QString start(const QStringList &options);
    // Starts it on the device's end of a device line and returns the port
    // the window opens; a pseudo-terminal of its own on Unix.
    QString startOnDeviceLine(const QStringList &options);
    PeerProcess process;
};

// Collects the debug trace lines written while it lives.
class TraceLog
{
public:
    TraceLog();
    ~TraceLog();
    QStringList lines() const;
    int count(const QString &line) const { return lines().count(line); }
    void clear();
};

// Closes every message box that becomes modal while it lives, noting its
// title and text, so that a failure path cannot block a test.
class MessageBoxCloser : public QObject
{
    Q_OBJECT
public:
    MessageBoxCloser();
    QStringList titles;
    QStringList texts;

signals:
    // A box has come up; it is closed once the signal returns.
    void shown(const QString &text);

private:
    void closeActive();
    QTimer timer;
};

// Runs the event loop until the window's port scan has ended.
void waitForPortScan(Widget &window);

// The texts of a combo box's items, in order.
QStringList itemTexts(const QComboBox *combo);

// A probe that reports the given ports and addresses instead of the machine's.
SystemProbe fakeProbe(const QStringList &ports,
                      const QList<QHostAddress> &addresses = { QHostAddress("192.0.2.10") });

// 127.0.0.1, where every test and benchmark keeps its traffic.
QHostAddress loopback();

// A TCP port on 127.0.0.1 that nothing listens on at the moment.
quint16 freeTcpPort();

// A blocking socket connected to 127.0.0.1:port (a UDP one sends there), -1
// when it could not connect, for a peer that a thread drives without an event
// loop; sending all of `bytes` on one, false when the link failed; ending its
// sending, which wakes a sendAll() blocked on it; and closing it, with a reset
// where asked.
enum class Transport { Tcp, Udp };
int connectedSocket(quint16 port, Transport transport = Transport::Tcp);
bool sendAll(int socket, const QByteArray &bytes);
void shutdownSocket(int socket);
void closeSocket(int socket, bool reset = false);

// Runs the event loop until `device` holds at least `atLeast` bytes or five
// seconds pass, then reads everything it holds.
QByteArray readAtLeast(QIODevice *device, int atLeast);

// Runs `directory` as the working directory while the object lives, with the
// folder that the capture file path names created in it. On Windows the path
// names drive D:, which the test rig maps to a folder of the suite's own.
class CaptureDirectory
{
public:
    explicit CaptureDirectory(const QString &directory);
    ~CaptureDirectory();
    QString captureFile() const;
    QByteArray captured() const;

private:
    QString previous;
    QString directory;
};

// How many descriptors (handles on Windows) the process has open.
int openDescriptors();

// The window driven through its controls, with the given serial ports;
// every message box it opens is closed and noted in `boxes`.
struct WindowRig
{
    explicit WindowRig(const QStringList &ports = {}) : WindowRig(fakeProbe(ports)) { }
    explicit WindowRig(const SystemProbe &probe) : window(probe) { waitForPortScan(window); }
    MessageBoxCloser boxes;
    Widget window;

    template<typename T = QWidget>
    T *find(const char *name)
    {
        return window.findChild<T *>(name);
    }
    QTextEdit *serialView();
    QString serialText();
    QString netText();
    QString text(const char *lineEdit);
    void setText(const char *lineEdit, const QString &text);
    // Picks the item with this text in one of the serial lists.
    void choose(const char *list, const QString &text);
    void chooseRole(int role); // a Widget::NetworkRole, or -1 for none
    void click(const char *button); // by object name, as the operator would
    void refreshPorts(); // and wait for the scan
    QString caption(const char *button);
    QString state(); // the status text; "tooltip: ..." when its tooltip differs
    quint16 udpPort(); // where the UDP role receives

    // Opens the serial link on `device`, which must get the receiver's two
    // command lines.
    void openSerial(DeviceLine &device);
    // Puts the network side up through its controls, on loopback: the UDP
    // role on a free local port sending to the target port, the TCP server
    // role on a free port (the server, null when it did not start), the TCP
    // client role to a server's port.
    void connectUdp(quint16 target);
    TcpServer *startServer();
    void connectClient(quint16 port);

private:
    void connectRole(int role, const QString &address, const QString &port);
};

// Made before the window, so that the window can list it.
struct DeviceFirst
{
    DeviceLine device;
};

// The window with a pseudo-terminal as its one serial port.
struct DeviceWindowRig : DeviceFirst, WindowRig
{
    DeviceWindowRig() : WindowRig({ device.portName() }) { }
    using WindowRig::openSerial;
    // Opens the serial link; the device must get the two command lines.
    void openSerial();
};

#endif // TESTSUPPORT_H

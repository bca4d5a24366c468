#ifndef WINDOWRIG_H
#define WINDOWRIG_H

#include "deviceplayer.h"
#include "systemprobe.h"
#include "widget.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

class QComboBox;
class QTextEdit;
class QWidget;

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

// Runs the event loop until the window's port scan has settled; false when
// it has not within twice the scan's deadline.
[[nodiscard]] bool waitForPortScan(Widget &window);

// The texts of a combo box's items, in order.
QStringList itemTexts(const QComboBox *combo);

// A probe that reports the given ports and addresses instead of the machine's.
SystemProbe fakeProbe(const QStringList &ports,
                      const QList<QHostAddress> &addresses = { QHostAddress("192.0.2.10") });

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

// The window driven through its controls, with the given serial ports;
// every message box it opens is closed and noted in `boxes`. The helpers that
// can fail say whether they succeeded, so that a test stops at the first
// failure rather than run into timeouts after it.
struct WindowRig
{
    explicit WindowRig(const QStringList &ports = {}) : WindowRig(fakeProbe(ports)) { }
    // Waits for the start-up scan; a scan that never settles shows as the
    // test's own check of the port list failing.
    explicit WindowRig(const SystemProbe &probe) : window(probe) { (void)waitForPortScan(window); }
    MessageBoxCloser boxes;
    Widget window;

    // The window's child of this type and name; any name when none is given.
    template<typename T = QWidget>
    T *find(const QString &name = QString())
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
    [[nodiscard]] bool refreshPorts(); // and wait for the scan
    QString caption(const char *button);
    QString state(); // the status text; "tooltip: ..." when its tooltip differs
    quint16 udpPort(); // where the UDP role receives

    // Opens the serial link on `device`; true once the device has got the
    // receiver's two command lines.
    [[nodiscard]] bool openSerial(DevicePlayer &device);
    // Puts the network side up through its controls, on loopback: the UDP
    // role on a free local port sending to the target port, the TCP server
    // role on a free port (the server, null when it did not start), the TCP
    // client role to a server's port. True, or the server, once the window
    // shows the link up.
    [[nodiscard]] bool connectUdp(quint16 target);
    [[nodiscard]] TcpServer *startServer();
    [[nodiscard]] bool connectClient(quint16 port);

private:
    bool connectRole(int role, const QString &address, const QString &port);
};

// Made before the window, so that the window can list it.
struct DeviceFirst
{
    DevicePlayer device;
};

// The window with a pseudo-terminal as its one serial port.
struct DeviceWindowRig : DeviceFirst, WindowRig
{
    DeviceWindowRig() : WindowRig({ device.portName() }) { }
    using WindowRig::openSerial;
    [[nodiscard]] bool openSerial();
};

#endif // WINDOWRIG_H

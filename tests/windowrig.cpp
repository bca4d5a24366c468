#include "windowrig.h"

#include "portscan.h"
#include "sockets.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMutex>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QUdpSocket>

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

bool waitForPortScan(Widget &window)
{
    const auto *scan = window.findChild<PortScan *>();
    return QTest::qWaitFor([scan] { return !scan->isRunning(); }, 2 * PortScan::probeTimeoutMs);
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

bool WindowRig::refreshPorts()
{
    click("CheckBtn");
    return waitForPortScan(window);
}

bool WindowRig::connectRole(int role, const QString &address, const QString &port)
{
    chooseRole(role);
    setText("lEditIpAddr", address);
    setText("lEditIpPort", port);
    click("pBtnNetCnnt");
    return caption("pBtnNetCnnt") == QStringLiteral("断开网络");
}

bool WindowRig::connectUdp(quint16 target)
{
    setText("lEditUdpIP", loopback().toString());
    setText("lEditUdpPort", QString::number(target));
    return connectRole(Widget::UdpRole, loopback().toString(), "0");
}

TcpServer *WindowRig::startServer()
{
    return connectRole(Widget::TcpServerRole, loopback().toString(), "0")
            ? window.findChild<TcpServer *>()
            : nullptr;
}

bool WindowRig::connectClient(quint16 port)
{
    return connectRole(Widget::TcpClientRole, loopback().toString(), QString::number(port));
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

bool WindowRig::openSerial(DevicePlayer &device)
{
    if (!device.isValid())
        return false;
    click("ConnectBtn");
    const QByteArray commands("log gpgga ontime 5\r\ninterfacemode auto auto on\r\n");
    const QByteArray got = device.read(commands.size());
    if (got == commands)
        return true;
    qWarning("the device got %s instead of the two command lines", got.toHex(' ').constData());
    return false;
}

bool DeviceWindowRig::openSerial()
{
    return WindowRig::openSerial(device);
}

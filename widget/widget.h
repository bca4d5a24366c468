#ifndef WIDGET_H
#define WIDGET_H

#include "capturefile.h"
#include "systemprobe.h"
#include "tcpserver.h"

#include <QByteArray>
#include <QHostAddress>
#include <QSerialPort>
#include <QString>
#include <QWidget>

QT_BEGIN_NAMESPACE
namespace Ui {
class Widget;
}
QT_END_NAMESPACE

class DeviceLink;
class ParagraphLog;
class PortScan;
class QUdpSocket;
class TcpClientLink;

// The main window and hub of the bridge: it opens the serial link to the
// receiver, shows and forwards what the receiver sends, and connects the
// network side as a UDP peer, a TCP server or a TCP client.
class Widget : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget *parent = nullptr);
    // Looks the serial ports and local addresses up through the given probe
    // instead of asking the machine.
    explicit Widget(const SystemProbe &probe, QWidget *parent = nullptr);
    ~Widget() override;

    // The network roles, as the indexes of the role list.
    enum NetworkRole { UdpRole = 0, TcpServerRole = 1, TcpClientRole = 2 };

    // A serial read larger than this leaves as several datagrams: it is the
    // largest payload a UDP datagram over IPv4 can carry.
    static constexpr int maxDatagramSize = 65507;

signals:
    void sendDataToClient(char *, int, int, int);

private slots:
    void doProcessSerialRead();
    void on_cBoxNetType_currentIndexChanged(int index);
    void on_ConnectBtn_clicked();
    void on_ClearBtn_clicked();
    void on_CheckBtn_clicked();
    void on_pBtnNetCnnt_clicked();
    void udpDataReceived();
    bool slotTryCreateTcpServer();
    void slotDeleteTcpServer();

    void tcpServerDataReceived(char *data, int length, int socketDescriptor);
    void tcpClientDataReceived(const QByteArray &piece);
    void addClientLink(QString client, int socketDescriptor);
    void removeClientLink(QString client, int socketDescriptor);

    void serialErrorOccurred(QSerialPort::SerialPortError error);

private:
    void initSerialPort();
    void showSerialPorts(const QStringList &ports);
    void showLatePorts(const QStringList &ports);
    void setSerialSettingsEnabled(bool enabled);
    void showSerialIdle();
    void doWriteSerialDataToUdp();
    void doWriteNetDataToSerial();
    void doWriteNetDataToFile();
    void forwardNetData(const char *data, int length);
    bool networkCanBeHeldBack() const;
    void setNetworkReadingHeld(bool held);
    void fitNetworkReadingToDevice();
    void showUdpWidgets();
    void hideUdpWidgets();
    void setUdpWidgetsVisible(bool visible);
    void connectUdp();
    void connectTcpServer();
    void connectTcpClient();
    void disconnectNetwork();
    void closeTcpClient();
    void serverLinkLost();
    void showNetworkUp(const QString &state);
    void showNetworkIdle();
    bool closedByOperator() const;
    void showError(const QString &text);
    void showErrorLater(const QString &text);

    Ui::Widget *ui;
    QSerialPort *serialPort = nullptr;
    QByteArray netData;
    QByteArray serialData;
    QString localIp;
    QUdpSocket *udpSocket = nullptr;
    QHostAddress hostAddress;
    int hostPort = 0;
    QHostAddress targetAddress;
    int targetPort = 0;
    QHostAddress *serverAddress = nullptr;
    TcpClientLink *tcpSocket = nullptr;
    TcpServer *tcpServer = nullptr;
    SystemProbe systemProbe;
    PortScan *portScan = nullptr;
    ParagraphLog *serialLog = nullptr;
    ParagraphLog *netLog = nullptr;
    CaptureFile captureFile;
    DeviceLink *deviceLink = nullptr;
};

#endif // WIDGET_H

#include "widget.h"
#include "ui_widget.h"

#include "capturefile.h"
#include "devicelink.h"
#include "displaytext.h"
#include "paragraphlog.h"
#include "portscan.h"
#include "serialsettings.h"
#include "tcpclientlink.h"
#include "tcpserver.h"
#include "trace.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QUdpSocket>

#include <utility>

using namespace SerialSettings;

namespace {

// The two command lines the receiver gets at every open: a GGA position
// every 5 s, and corrections and commands taken on any of its ports.
const char ggaCommand[] = "log gpgga ontime 5\r\n";
const char interfaceModeCommand[] = "interfacemode auto auto on\r\n";

// Unlike QHostAddress::setAddress, leaves no earlier address behind when the
// text is not an address.
void setAddressOrClear(QHostAddress &address, const QString &text)
{
    if (!address.setAddress(text))
        address.clear();
}

QString firstLocalIPv4(const QList<QHostAddress> &addresses)
{
    for (const QHostAddress &address : addresses) {
        if (address == QHostAddress(QHostAddress::LocalHost) || address.toIPv4Address() == 0)
            continue;
        return address.toString();
    }
    return QString();
}

} // namespace

Widget::Widget(QWidget *parent) : Widget(SystemProbe::live(), parent) { }

Widget::Widget(const SystemProbe &probe, QWidget *parent)
    : QWidget(parent),
      ui(new Ui::Widget),
      systemProbe(probe),
      captureFile(QStringLiteral("D://testBase.txt"))
{
    ui->setupUi(this);
    serialLog = new ParagraphLog(ui->textEdit_Servce);
    netLog = new ParagraphLog(ui->textEdit_Client);
    initSerialPort();
    localIp = firstLocalIPv4(systemProbe.localAddresses());
    ui->lEditIpAddr->setText(localIp);
    serverAddress = new QHostAddress;
}

Widget::~Widget()
{
    // The QWidget base destroys the ports and sockets after this body has run,
    // and a socket or port that closes may still signal: cut them off from
    // this half-destroyed window first.
    serialPort->disconnect();
    if (udpSocket)
        udpSocket->disconnect(this);
    if (tcpSocket)
        tcpSocket->disconnect(this);
    if (tcpServer)
        tcpServer->disconnect(this);
    delete ui;
    delete serverAddress;
}

// Serial link: ports, settings, open and close

void Widget::initSerialPort()
{
    serialPort = new QSerialPort(this);
    connect(serialPort, SIGNAL(errorOccurred(QSerialPort::SerialPortError)), this,
            SLOT(serialErrorOccurred(QSerialPort::SerialPortError)));
    deviceLink = new DeviceLink(serialPort, this);
    connect(deviceLink, &DeviceLink::peersHeldChanged, this, &Widget::setNetworkReadingHeld);
    portScan = new PortScan(systemProbe, this);
    connect(portScan, &PortScan::finished, this, &Widget::showSerialPorts);
    connect(portScan, &PortScan::grew, this, &Widget::showLatePorts);
    portScan->start(true);
    ui->BaudCB->addItems(textsOf(baudRates));
    ui->DataBitsCB->addItems(textsOf(dataBits));
    ui->ParityCB->addItems(textsOf(parities));
    ui->StopCB->addItems(textsOf(stopBits));
    ui->FlowsCB->addItems(textsOf(flowControls));
}

// The port list shows the latest scan's ports, the first one chosen; the
// list keeps the earlier scan's ports while a refresh runs.
void Widget::on_CheckBtn_clicked()
{
    portScan->start(false);
}

void Widget::showSerialPorts(const QStringList &ports)
{
    ui->ComBC->clear();
    ui->ComBC->addItems(ports);
}

// A port that answered after the scan settled joins the list; the chosen
// port stays chosen.
void Widget::showLatePorts(const QStringList &ports)
{
    const QString chosen = ui->ComBC->currentText();
    showSerialPorts(ports);
    ui->ComBC->setCurrentIndex(qMax(0, ui->ComBC->findText(chosen)));
}

void Widget::on_ConnectBtn_clicked()
{
    const QString caption = ui->ConnectBtn->text();
    if (caption == tr("串口关闭")) {
        serialPort->close();
        showSerialIdle();
        return;
    }
    if (caption != tr("串口连接"))
        return;

    trace(QStringLiteral("***********"));
    // A probe of a refresh may hold the port for a moment.
    portScan->waitForProbe(ui->ComBC->currentText());
    if (!deviceLink->open(ui->ComBC->currentText())) {
        showError(tr("串口打开失败!"));
        return;
    }

    applyChoice(baudRates, ui->BaudCB->currentText(),
                [this](qint32 rate) { serialPort->setBaudRate(rate, QSerialPort::AllDirections); });
    applyChoice(dataBits, ui->DataBitsCB->currentText(),
                [this](QSerialPort::DataBits bits) { serialPort->setDataBits(bits); });
    applyChoice(parities, ui->ParityCB->currentText(),
                [this](QSerialPort::Parity parity) { serialPort->setParity(parity); });
    applyChoice(stopBits, ui->StopCB->currentText(),
                [this](QSerialPort::StopBits bits) { serialPort->setStopBits(bits); });
    applyChoice(flowControls, ui->FlowsCB->currentText(),
                [this](QSerialPort::FlowControl flow) { serialPort->setFlowControl(flow); });
    fitNetworkReadingToDevice();

    // Before the command lines go out, so that the receiver's answer is read.
    connect(serialPort, SIGNAL(readyRead()), this, SLOT(doProcessSerialRead()),
            Qt::UniqueConnection);
    serialPort->write(ggaCommand);
    serialPort->write(interfaceModeCommand);

    ui->ConnectBtn->setText(tr("串口关闭"));
    setSerialSettingsEnabled(false);
}

void Widget::setSerialSettingsEnabled(bool enabled)
{
    ui->BaudCB->setEnabled(enabled);
    ui->DataBitsCB->setEnabled(enabled);
    ui->FlowsCB->setEnabled(enabled);
    ui->ParityCB->setEnabled(enabled);
    ui->StopCB->setEnabled(enabled);
    ui->ComBC->setEnabled(enabled);
}

void Widget::showSerialIdle()
{
    ui->ConnectBtn->setText(tr("串口连接"));
    setSerialSettingsEnabled(true);
}

// A receiver that is unplugged, or a line whose other end hangs up, shows as a
// read or resource error while the port stays open; left open, the port would
// report the error again in a tight loop for ever.
void Widget::serialErrorOccurred(QSerialPort::SerialPortError error)
{
    if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError)
        return;
    if (!serialPort->isOpen())
        return;
    serialPort->close();
    showSerialIdle();
    showErrorLater(tr("串口连接已断开!"));
}

// Serial data: to the upper view and to the network

void Widget::doProcessSerialRead()
{
    // One pass per datagram-sized piece: a read larger than a datagram can
    // carry would otherwise be lost on the way out.
    do {
        serialData = serialPort->read(maxDatagramSize);
        serialLog->append(serialViewText(serialData));
        doWriteSerialDataToUdp();
    } while (serialPort->isOpen() && serialPort->bytesAvailable() > 0);
}

// Sends the last serial read to the network side in whichever role is up.
void Widget::doWriteSerialDataToUdp()
{
    if (serialData.isEmpty()) {
        trace(QStringLiteral("向服务器写入数据失败"));
        return;
    }
    if (udpSocket)
        udpSocket->writeDatagram(serialData, targetAddress, quint16(targetPort));
    if (tcpServer)
        emit sendDataToClient(serialData.data(), serialData.size(), 0, -1);
    if (tcpSocket && tcpSocket->state() == QAbstractSocket::ConnectedState
        && !tcpSocket->send(serialData))
        tcpSocket->drop();
    serialData.clear();
}

void Widget::on_ClearBtn_clicked()
{
    serialLog->clear();
    netLog->clear();
}

// Network data: from the three receivers to the device and the capture file

void Widget::udpDataReceived()
{
    QHostAddress senderAddress;
    quint16 senderPort = 0;
    while (udpSocket && udpSocket->hasPendingDatagrams()) {
        const qint64 size = udpSocket->pendingDatagramSize();
        if (size < 0)
            break;
        QByteArray datagram(int(size), Qt::Uninitialized);
        const qint64 read = udpSocket->readDatagram(datagram.data(), datagram.size(),
                                                    &senderAddress, &senderPort);
        if (read < 0)
            break;
        forwardNetData(datagram.constData(), int(read));
    }
}

void Widget::tcpServerDataReceived(char *data, int length, int socketDescriptor)
{
    Q_UNUSED(socketDescriptor)
    forwardNetData(data, length);
}

void Widget::tcpClientDataReceived(const QByteArray &piece)
{
    forwardNetData(piece.constData(), piece.size());
}

// Everything the network side receives goes to the device, then to the
// capture file, which empties the buffer again.
void Widget::forwardNetData(const char *data, int length)
{
    netData.append(data, length);
    doWriteNetDataToSerial();
    doWriteNetDataToFile();
}

void Widget::doWriteNetDataToSerial()
{
    // A block the device does not take (the link is closed, or the device is
    // behind) still goes to the capture file.
    if (netData.isEmpty() || !deviceLink->accepts(networkCanBeHeldBack())) {
        trace(QStringLiteral("向串口写入数据错误"));
        return;
    }
    trace(QStringLiteral("向串口写入数据正确"));
    deviceLink->write(netData);
    trace(QStringLiteral("写数据的大小: ") + QString::number(qint32(deviceLink->waitingBytes())));

    const QString text = networkViewText(netData);
    if (!text.isEmpty())
        netLog->append(text);
}

void Widget::doWriteNetDataToFile()
{
    captureFile.append(netData);
    netData.clear();
}

void Widget::addClientLink(QString client, int socketDescriptor)
{
    Q_UNUSED(socketDescriptor)
    netLog->append(tr("客户端已连接: ") + client, ParagraphLog::Kept);
}

void Widget::removeClientLink(QString client, int socketDescriptor)
{
    Q_UNUSED(socketDescriptor)
    netLog->append(tr("客户端已断开: ") + client, ParagraphLog::Kept);
}

// Holding the TCP peers back for a slow device

// A device slower than the network (a low baud rate, a burst of corrections)
// leaves network data waiting for it. The TCP peers are then held back rather
// than their data dropped: nothing is read from them, TCP's flow control
// slows them down, and reading resumes as the device catches up. A device
// that takes nothing at all counts as stalled: reading resumes, and what the
// device cannot take goes only to the capture file until it takes data
// again. Datagrams cannot be held back. DeviceLink says when; the roles'
// PeerReader holds and releases.
bool Widget::networkCanBeHeldBack() const
{
    return tcpServer || tcpSocket;
}

void Widget::setNetworkReadingHeld(bool held)
{
    if (tcpServer)
        tcpServer->holdReading(held);
    if (tcpSocket)
        tcpSocket->holdReading(held);
}

// A piece read from a peer is at most the device's bound, and a new role
// starts held if the device is behind.
void Widget::fitNetworkReadingToDevice()
{
    const qint64 piece = deviceLink->readChunk(PeerReader::maxPieceBytes);
    if (tcpServer)
        tcpServer->setReadChunk(piece);
    if (tcpSocket)
        tcpSocket->setReadChunk(piece);
    setNetworkReadingHeld(deviceLink->peersHeld());
}

// Network role: the fields for each role

void Widget::on_cBoxNetType_currentIndexChanged(int index)
{
    switch (index) {
    case UdpRole:
        showUdpWidgets();
        ui->label_Port->setText(tr("本地端口"));
        ui->label_IP->setText(tr("本地IP地址"));
        ui->labelUdp->setText(tr("目标IP地址"));
        ui->labelUdp1->setText(tr("目标端口"));
        ui->lEditIpAddr->setText(localIp);
        break;
    case TcpServerRole:
        hideUdpWidgets();
        ui->label_Port->setText(tr("本地端口"));
        ui->label_IP->setText(tr("本地IP地址"));
        ui->lEditIpAddr->setText(localIp);
        break;
    case TcpClientRole:
        showUdpWidgets();
        ui->label_Port->setText(tr("服务器端口"));
        ui->label_IP->setText(tr("服务器IP地址"));
        ui->labelUdp->setText(tr("本地IP地址"));
        ui->labelUdp1->setText(tr("本地端口"));
        ui->lEditIpAddr->setText(tr("192.168.42.1"));
        break;
    default:
        break;
    }
}

void Widget::showUdpWidgets()
{
    setUdpWidgetsVisible(true);
}

void Widget::hideUdpWidgets()
{
    setUdpWidgetsVisible(false);
}

void Widget::setUdpWidgetsVisible(bool visible)
{
    ui->labelSpaceUdp->setVisible(visible);
    ui->lEditUdpIP->setVisible(visible);
    ui->labelUdp->setVisible(visible);
    ui->labelUdp1->setVisible(visible);
    ui->lEditUdpPort->setVisible(visible);
}

// Network link: connecting and disconnecting in each role

void Widget::on_pBtnNetCnnt_clicked()
{
    const QString caption = ui->pBtnNetCnnt->text();
    if (caption == tr("连接网络")) {
        switch (ui->cBoxNetType->currentIndex()) {
        case UdpRole:
            connectUdp();
            break;
        case TcpServerRole:
            connectTcpServer();
            break;
        case TcpClientRole:
            connectTcpClient();
            break;
        default:
            break;
        }
    } else if (caption == tr("断开网络")) {
        disconnectNetwork();
    }
}

void Widget::connectUdp()
{
    udpSocket = new QUdpSocket(this);
    connect(udpSocket, SIGNAL(readyRead()), this, SLOT(udpDataReceived()));
    setAddressOrClear(hostAddress, ui->lEditIpAddr->text());
    hostPort = ui->lEditIpPort->text().toInt();
    // A target that is not an address sends nothing, as on a fresh start.
    setAddressOrClear(targetAddress, ui->lEditUdpIP->text());
    targetPort = ui->lEditUdpPort->text().toInt();

    if (udpSocket->bind(quint16(hostPort), QAbstractSocket::DefaultForPlatform)) {
        showNetworkUp(tr("建立UDP连接成功"));
        return;
    }
    // An unbound socket would still send datagrams from a random port.
    delete udpSocket;
    udpSocket = nullptr;
    ui->pBtnNetCnnt->setChecked(false);
    showError(tr("UDP绑定端口失败!"));
}

void Widget::connectTcpServer()
{
    // An empty field means every interface, as it does for QTcpServer; a
    // text that is not an address is refused.
    const QString address = ui->lEditIpAddr->text();
    if (address.isEmpty())
        hostAddress = QHostAddress(QHostAddress::Any);
    else
        setAddressOrClear(hostAddress, address);
    hostPort = ui->lEditIpPort->text().toInt();
    if (slotTryCreateTcpServer()) {
        showNetworkUp(tr("建立TCP服务器成功"));
        return;
    }
    ui->pBtnNetCnnt->setChecked(false);
    showError(tr("尝试建立服务器失败! 请确认网络状态和端口。"));
}

bool Widget::slotTryCreateTcpServer()
{
    // QTcpServer listens on every interface for a null address: a mistyped
    // one must not do that.
    if (hostAddress.isNull())
        return false;
    tcpServer = new TcpServer(this);
    if (!tcpServer->listen(hostAddress, quint16(hostPort))) {
        delete tcpServer;
        tcpServer = nullptr;
        return false;
    }
    // Signatures as Qt normalises them, so that connecting needs no normalising.
    // clang-format off
    connect(tcpServer, SIGNAL(updateTcpServer(char*,int,int)), this,
            SLOT(tcpServerDataReceived(char*,int,int)));
    connect(this, SIGNAL(sendDataToClient(char*,int,int,int)), tcpServer,
            SLOT(sendDataToClient(char*,int,int,int)));
    connect(tcpServer, SIGNAL(addClientLink(QString,int)), this, SLOT(addClientLink(QString,int)));
    connect(tcpServer, SIGNAL(removeClientLink(QString,int)), this,
            SLOT(removeClientLink(QString,int)));
    // clang-format on
    fitNetworkReadingToDevice();
    return true;
}

void Widget::slotDeleteTcpServer()
{
    if (!tcpServer)
        return;
    QObject::disconnect(tcpServer, nullptr, nullptr, nullptr);
    tcpServer->close();
    delete tcpServer;
    tcpServer = nullptr;
}

void Widget::connectTcpClient()
{
    if (!serverAddress->setAddress(ui->lEditIpAddr->text())) {
        showError(tr("TCP服务器IP设置失败!"));
        return;
    }
    tcpSocket = new TcpClientLink(this);
    // The wait holds the event loop; what the operator does meanwhile is
    // handled after it, and must not start a second attempt inside this one.
    ui->pBtnNetCnnt->setEnabled(false);
    if (tcpSocket->connectWithin(*serverAddress, quint16(ui->lEditIpPort->text().toInt()), 2000)) {
        ui->pBtnNetCnnt->setEnabled(true);
        connect(tcpSocket, &TcpClientLink::pieceRead, this, &Widget::tcpClientDataReceived);
        connect(tcpSocket, &TcpClientLink::serverGone, this, &Widget::serverLinkLost);
        fitNetworkReadingToDevice();
        ui->lEditUdpPort->setText(QString::number(tcpSocket->localPort()));
        showNetworkUp(tr("连接TCP服务器成功"));
        return;
    }
    delete tcpSocket;
    tcpSocket = nullptr;
    ui->lEditUdpPort->setText(QStringLiteral("0"));
    ui->pBtnNetCnnt->setChecked(false);
    // A close asked for during the wait is handled now, so that it ends the
    // program rather than meet a box. The window system's close request counts
    // as user input on some platforms, so user input is delivered too.
    QCoreApplication::processEvents();
    ui->pBtnNetCnnt->setEnabled(true);
    showError(tr("尝试连接服务器失败! 请确认服务器状态。"));
}

// Takes down whichever role is up, whatever the role list shows now.
void Widget::disconnectNetwork()
{
    if (udpSocket) {
        udpSocket->close();
        delete udpSocket;
        udpSocket = nullptr;
    }
    slotDeleteTcpServer();
    if (tcpSocket)
        closeTcpClient();
    showNetworkIdle();
}

// The operator closes the TCP client link: what is still queued for the
// server may leave during a short grace period.
void Widget::closeTcpClient()
{
    TcpClientLink *link = std::exchange(tcpSocket, nullptr);
    link->disconnect(this);
    link->closeGracefully();
}

// Ends a TCP client link that the server closed, that failed, or whose server
// stopped reading, once what was read from it has been forwarded.
void Widget::serverLinkLost()
{
    TcpClientLink *link = std::exchange(tcpSocket, nullptr);
    link->disconnect(this);
    link->deleteLater();
    showNetworkIdle();
    showErrorLater(tr("与服务器的连接已断开!"));
}

void Widget::showNetworkUp(const QString &state)
{
    // The label is too narrow for the longer states; its tooltip shows them whole.
    ui->CurState->setText(state);
    ui->CurState->setToolTip(state);
    ui->pBtnNetCnnt->setText(tr("断开网络"));
}

void Widget::showNetworkIdle()
{
    ui->pBtnNetCnnt->setText(tr("连接网络"));
    ui->CurState->clear();
    ui->CurState->setToolTip(QString());
}

// Messages

// A window that was shown and then closed.
bool Widget::closedByOperator() const
{
    return testAttribute(Qt::WA_WState_ExplicitShowHide) && isHidden();
}

// A box over a closed window would keep the program running, with nothing
// behind the box: once the operator has closed the window, failures are not
// shown any more.
void Widget::showError(const QString &text)
{
    if (closedByOperator())
        return;
    QMessageBox::information(this, tr("错误"), text, QMessageBox::Ok, QMessageBox::NoButton);
}

// For failures noticed inside a data path: a modal box there would run a
// nested event loop under the caller's feet.
void Widget::showErrorLater(const QString &text)
{
    QMetaObject::invokeMethod(
            this, [this, text] { showError(text); }, Qt::QueuedConnection);
}

#include "tcpclientlink.h"

#include "tcpserver.h"

#include <QHostAddress>
#include <QTimer>

namespace {

// How long a link closed by the operator may take to hand its last bytes to
// the server before it is cut.
constexpr int closeGraceMs = 3000;

} // namespace

TcpClientLink::TcpClientLink(QObject *parent) : QTcpSocket(parent)
{
    setReadBufferSize(TcpServer::maxReadChunk);
}

bool TcpClientLink::connectWithin(const QHostAddress &address, quint16 port, int timeoutMs)
{
    connectToHost(address, port, QIODevice::ReadWrite);
    if (waitForConnected(timeoutMs))
        return true;
    abort();
    return false;
}

bool TcpClientLink::send(const QByteArray &block)
{
    write(block);
    return bytesToWrite() <= TcpServer::maxPendingBytes;
}

void TcpClientLink::closeGracefully()
{
    connect(this, &QAbstractSocket::disconnected, this, &QObject::deleteLater);
    disconnectFromHost();
    if (state() == QAbstractSocket::UnconnectedState)
        deleteLater();
    else
        QTimer::singleShot(closeGraceMs, this, &QAbstractSocket::abort);
}

void TcpClientLink::drop()
{
    abort();
    deleteLater();
}

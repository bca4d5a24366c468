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
    connect(&reader, &PeerReader::pieceRead, this,
            [this](QTcpSocket *, const QByteArray &piece) { emit pieceRead(piece); });
    connect(&reader, &PeerReader::finished, this, &TcpClientLink::serverGone);
}

bool TcpClientLink::connectWithin(const QHostAddress &address, quint16 port, int timeoutMs)
{
    connectToHost(address, port, QIODevice::ReadWrite);
    if (!waitForConnected(timeoutMs)) {
        abort();
        return false;
    }
    reader.add(this);
    // Bound to the reader, which goes before the socket does: a socket that
    // is destroyed while connected still signals its end.
    const auto gone = [this] { reader.peerGone(this); };
    connect(this, &QAbstractSocket::errorOccurred, &reader, gone);
    connect(this, &QAbstractSocket::disconnected, &reader, gone);
    return true;
}

bool TcpClientLink::send(const QByteArray &block)
{
    write(block);
    return bytesToWrite() <= TcpServer::maxPendingBytes;
}

void TcpClientLink::holdReading(bool held)
{
    reader.setHeld(held);
}

void TcpClientLink::setReadChunk(qint64 bytes)
{
    reader.setPieceBytes(bytes);
}

void TcpClientLink::closeGracefully()
{
    reader.setHeld(true);
    connect(this, &QAbstractSocket::disconnected, this, &QObject::deleteLater);
    disconnectFromHost();
    if (state() == QAbstractSocket::UnconnectedState)
        deleteLater();
    else
        QTimer::singleShot(closeGraceMs, this, &QAbstractSocket::abort);
}

void TcpClientLink::drop()
{
    reader.peerGone(this);
    abort();
}

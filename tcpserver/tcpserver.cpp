#include "tcpserver.h"

#include <QPointer>
#include <QTcpSocket>

namespace {
// Upper bound of one read, so that a client that has sent a lot in one go is
// handed on in pieces of a sensible size.
constexpr qint64 maxReadChunk = 1024 * 1024;
}

TcpServer::TcpServer(QObject *parent)
    : QTcpServer(parent)
{
    connect(this, SIGNAL(newConnection()), this, SLOT(acceptNewClient()));
}

TcpServer::~TcpServer() = default;

int TcpServer::clientCount() const
{
    return clientList.size();
}

void TcpServer::acceptNewClient()
{
    while (QTcpSocket *socket = nextPendingConnection()) {
        const int descriptor = int(socket->socketDescriptor());
        connect(socket, SIGNAL(disconnected()), this, SLOT(clientDisconnected()));
        connect(socket, SIGNAL(disconnected()), socket, SLOT(deleteLater()));
        connect(socket, SIGNAL(readyRead()), this, SLOT(clientDataReceived()));

        const QString text = socket->peerAddress().toString() + QLatin1Char(':')
            + QString::number(socket->peerPort());
        clientList.append({ socket, descriptor, text });
        emit addClientLink(text, descriptor);
    }
}

void TcpServer::clientDataReceived()
{
    // A receiver of updateTcpServer may run code that changes the list, so
    // walk a snapshot and skip sockets that have gone meanwhile.
    const QList<Client> snapshot = clientList;
    for (const Client &client : snapshot) {
        if (indexOf(client.socket) >= 0)
            drain(client);
    }
}

void TcpServer::drain(const Client &client)
{
    QPointer<QTcpSocket> socket = client.socket;
    while (socket && socket->bytesAvailable() > 0) {
        QByteArray buffer(int(qMin(socket->bytesAvailable(), maxReadChunk)), Qt::Uninitialized);
        const qint64 count = socket->read(buffer.data(), buffer.size());
        if (count <= 0)
            return;
        emit updateTcpServer(buffer.data(), int(count), client.descriptor);
    }
}

void TcpServer::clientDisconnected()
{
    const int index = indexOf(qobject_cast<QTcpSocket *>(sender()));
    if (index < 0)
        return;
    const Client client = clientList.takeAt(index);
    emit removeClientLink(client.text, client.descriptor);
}

void TcpServer::sendDataToClient(char *msg, int length, int socketDescriptor,
                                 int socketDescriptorEx)
{
    QList<QTcpSocket *> overloaded;
    for (const Client &client : qAsConst(clientList)) {
        if (socketDescriptor != 0) {
            if (client.descriptor != socketDescriptor)
                continue;
            if (client.socket->write(msg, length) != length)
                break;
        } else {
            if (client.descriptor == socketDescriptorEx)
                continue;
            client.socket->write(msg, length);
        }
        if (client.socket->bytesToWrite() > maxPendingBytes)
            overloaded.append(client.socket);
    }
    // Aborting emits disconnected() at once, which edits clientList: never
    // while walking it.
    for (QTcpSocket *socket : qAsConst(overloaded))
        socket->abort();
}

int TcpServer::indexOf(const QTcpSocket *socket) const
{
    for (int i = 0; i < clientList.size(); ++i) {
        if (clientList.at(i).socket == socket)
            return i;
    }
    return -1;
}

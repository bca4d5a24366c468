#include "tcpserver.h"

#include <QDir>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <climits>

#include <sys/resource.h>

namespace {
// Accepting pauses while fewer descriptors than this are free, and the count
// is looked at this often.
constexpr int descriptorsKeptFree = 16;
constexpr int descriptorWatchMs = 500;
} // namespace

TcpServer::TcpServer(QObject *parent) : QTcpServer(parent)
{
    connect(this, SIGNAL(newConnection()), this, SLOT(acceptNewClient()));
    connect(this, SIGNAL(acceptError(QAbstractSocket::SocketError)), this,
            SLOT(pauseAfterFailedAccept()));
    descriptorWatch.setInterval(descriptorWatchMs);
    connect(&descriptorWatch, SIGNAL(timeout()), this, SLOT(watchDescriptors()));
    descriptorWatch.start();
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
        socket->setReadBufferSize(maxReadChunk);

        const QString text = socket->peerAddress().toString() + QLatin1Char(':')
                + QString::number(socket->peerPort());
        clientList.append({ socket, descriptor, text });
        emit addClientLink(text, descriptor);
    }
    watchDescriptors();
}

// With no descriptor left, a connection waits in the listen queue and keeps
// the listening socket readable, and every accept fails. Qt reports such a
// failure only until its first temporary one (after any accepted client, it
// reports none), and tries again on every pass of the event loop: a busy loop.
// So accepting pauses while descriptors run short, whatever Qt reports, and
// resumes once enough are free again; the clients already connected, the
// device and the capture file keep the descriptors they need meanwhile.
void TcpServer::watchDescriptors()
{
    const bool descriptorsShort = freeDescriptors() < descriptorsKeptFree;
    if (descriptorsShort && !acceptingPaused)
        pauseAccepting();
    else if (!descriptorsShort && acceptingPaused)
        resumeAccepting();
    acceptingPaused = descriptorsShort;
}

void TcpServer::pauseAfterFailedAccept()
{
    pauseAccepting();
    acceptingPaused = true;
}

int TcpServer::freeDescriptors()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return INT_MAX;
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    if (!descriptors.exists())
        return INT_MAX;
    // Listing takes a descriptor of its own, which is among the entries; a
    // listing that finds none could not get one.
    const int open = descriptors.entryList(QDir::Files | QDir::System).size() - 1;
    if (open < 0)
        return 0;
    return int(qMin<rlim_t>(limit.rlim_cur, INT_MAX)) - open;
}

void TcpServer::holdReading(bool held)
{
    readingHeld = held;
    if (!held)
        clientDataReceived();
}

void TcpServer::clientDataReceived()
{
    // A receiver of updateTcpServer may run code that changes the list, so
    // walk a snapshot and skip sockets that have gone meanwhile.
    const QList<Client> snapshot = clientList;
    for (const Client &client : snapshot) {
        if (indexOf(client.socket) >= 0)
            drain(client, UnlessHeld);
    }
}

void TcpServer::drain(const Client &client, DrainMode mode)
{
    QPointer<QTcpSocket> socket = client.socket;
    while (socket && socket->bytesAvailable() > 0 && (mode == EvenIfHeld || !readingHeld)) {
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
    drain(client, EvenIfHeld);
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

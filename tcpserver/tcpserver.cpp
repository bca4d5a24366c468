#include "tcpserver.h"

#include <QDir>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <climits>

#ifdef Q_OS_UNIX
#  include <sys/resource.h>
#endif

namespace {
// Accepting pauses while no more than this many descriptors are free, and
// the count is looked at this often while the server listens.
constexpr int descriptorsKeptFree = 16;
constexpr int descriptorWatchMs = 500;
// QTcpServer's own default.
constexpr int pendingConnectionsWhileAccepting = 30;
} // namespace

TcpServer::TcpServer(QObject *parent) : QTcpServer(parent)
{
    connect(this, SIGNAL(newConnection()), this, SLOT(acceptNewClient()));
    connect(this, SIGNAL(acceptError(QAbstractSocket::SocketError)), this,
            SLOT(pauseAfterFailedAccept()));
    descriptorWatch.setInterval(descriptorWatchMs);
    connect(&descriptorWatch, SIGNAL(timeout()), this, SLOT(watchDescriptors()));
    connect(&reader, &PeerReader::pieceRead, this, [this](QTcpSocket *socket, QByteArray piece) {
        emit updateTcpServer(piece.data(), piece.size(), clients.value(socket).descriptor);
    });
    connect(&reader, &PeerReader::finished, this, &TcpServer::clientFinished);
#ifdef Q_OS_UNIX
    // Sockets on Windows have no per-process limit to watch.
    descriptorWatch.start();
#endif
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
        // A failure comes before the disconnection: what the socket holds
        // is taken out then, since Qt drops it after a failed write.
        connect(socket, SIGNAL(errorOccurred(QAbstractSocket::SocketError)), this,
                SLOT(clientDisconnected()));
        connect(socket, SIGNAL(disconnected()), this, SLOT(clientDisconnected()));
        reader.add(socket);

        const QString text = socket->peerAddress().toString() + QLatin1Char(':')
                + QString::number(socket->peerPort());
        clientList.append(socket);
        clients.insert(socket, { descriptor, text });
        emit addClientLink(text, descriptor);
    }
    // Before Qt's accept loop goes on to the next waiting connection.
    watchDescriptors();
}

// With no descriptor left, a connection waits in the listen queue and keeps
// the listening socket readable, and every accept fails. Qt reports such a
// failure only until its first temporary one (after any accepted client, it
// reports none), and tries again on every pass of the event loop: a busy loop.
// So accepting pauses while descriptors run short, whatever Qt reports, and
// resumes once enough are free again; the clients already connected, the
// device, the port list and the capture file keep the descriptors they need
// meanwhile.
void TcpServer::watchDescriptors()
{
    if (isListening())
        setAccepting(freeDescriptors() > descriptorsKeptFree);
}

void TcpServer::pauseAfterFailedAccept()
{
    setAccepting(false);
}

void TcpServer::setAccepting(bool accepting)
{
    if (!isListening() || accepting == !acceptingPaused)
        return;
    acceptingPaused = !accepting;
    // Pausing alone leaves Qt's accept loop running through every
    // connection that waits; with no room for pending connections, the loop
    // stops before its next accept.
    if (accepting) {
        setMaxPendingConnections(pendingConnectionsWhileAccepting);
        resumeAccepting();
    } else {
        setMaxPendingConnections(0);
        pauseAccepting();
    }
}

int TcpServer::freeDescriptors()
{
#ifdef Q_OS_UNIX
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return INT_MAX;
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    if (!descriptors.exists())
        return INT_MAX;
    // Every kind of descriptor, directories among them. Listing takes a
    // descriptor of its own, which is among the entries; a listing that finds
    // none could not get one.
    const int open = descriptors
                             .entryList(QDir::AllEntries | QDir::System | QDir::Hidden
                                        | QDir::NoDotAndDotDot)
                             .size()
            - 1;
    if (open < 0)
        return 0;
    return int(qMin<rlim_t>(limit.rlim_cur, INT_MAX)) - open;
#else
    return INT_MAX;
#endif
}

void TcpServer::holdReading(bool held)
{
    reader.setHeld(held);
}

void TcpServer::setReadChunk(qint64 bytes)
{
    reader.setPieceBytes(bytes);
}

// Reads what every client holds, a piece from each in turn, unless reading
// is held.
void TcpServer::clientDataReceived()
{
    reader.readWaiting();
}

void TcpServer::clientDisconnected()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!clientList.removeOne(socket))
        return;
    reader.peerGone(socket);
}

// All that a client that went had sent has been handed on.
void TcpServer::clientFinished(QTcpSocket *socket)
{
    const Client client = clients.take(socket);
    clientList.removeOne(socket);
    socket->deleteLater();
    emit removeClientLink(client.text, client.descriptor);
}

void TcpServer::sendDataToClient(char *msg, int length, int socketDescriptor,
                                 int socketDescriptorEx)
{
    QList<QTcpSocket *> overloaded;
    for (QTcpSocket *socket : qAsConst(clientList)) {
        const int descriptor = clients.value(socket).descriptor;
        if (socketDescriptor != 0) {
            if (descriptor != socketDescriptor)
                continue;
            if (socket->write(msg, length) != length)
                break;
        } else {
            if (descriptor == socketDescriptorEx)
                continue;
            socket->write(msg, length);
        }
        if (socket->bytesToWrite() > maxPendingBytes)
            overloaded.append(socket);
    }
    // Aborting emits disconnected() at once, which edits clientList: never
    // while walking the list. It happens from the event loop, not inside the
    // caller that is sending, whose data path reading would run into.
    for (QTcpSocket *socket : qAsConst(overloaded)) {
        QMetaObject::invokeMethod(
                this,
                [this, guard = QPointer<QTcpSocket>(socket)] {
                    if (guard)
                        dropOverloaded(guard);
                },
                Qt::QueuedConnection);
    }
}

// What the client had sent and the window had read is handed on in its turns.
void TcpServer::dropOverloaded(QTcpSocket *socket)
{
    if (!clientList.removeOne(socket))
        return;
    reader.peerGone(socket);
    socket->abort();
}

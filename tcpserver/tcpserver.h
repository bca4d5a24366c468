#ifndef TCPSERVER_H
#define TCPSERVER_H

#include <QList>
#include <QString>
#include <QTcpServer>
#include <QTimer>

class QTcpSocket;

// The listening side of the TCP server role: keeps every accepted client,
// hands on what each one sends together with its socket descriptor, announces
// arrivals and departures, and writes to one client or to all but one.
class TcpServer : public QTcpServer
{
    Q_OBJECT

public:
    // A client that keeps more than this many bytes unsent is dropped, so a
    // peer that stops reading cannot make the server's memory grow for ever.
    static constexpr qint64 maxPendingBytes = 4 * 1024 * 1024;
    // Upper bound of one read, so that a peer that has sent a lot in one go is
    // handed on in pieces of a sensible size; also what a peer's socket
    // buffers while reading is held. The window's TCP client link uses it too.
    static constexpr qint64 maxReadChunk = 1024 * 1024;

    explicit TcpServer(QObject *parent = nullptr);
    ~TcpServer() override;

    int clientCount() const;

    // While reading is held, nothing is read from the clients: once a
    // client's read buffer is full, TCP's flow control holds the client
    // back. Releasing reads what waits. What a client sent before it
    // disconnected is always read.
    void holdReading(bool held);

signals:
    void updateTcpServer(char *, int, int);
    void addClientLink(QString, int);
    void removeClientLink(QString, int);

public slots:
    void clientDisconnected();
    // A socketDescriptor other than 0 sends to that client only; 0 sends to
    // every client except the one whose descriptor is socketDescriptorEx.
    void sendDataToClient(char *msg, int length, int socketDescriptor, int socketDescriptorEx);
    void acceptNewClient();
    void clientDataReceived();

private slots:
    void watchDescriptors();
    void pauseAfterFailedAccept();

private:
    // The descriptor and text are kept from accept time: once a socket has
    // disconnected it reports neither any more.
    struct Client
    {
        QTcpSocket *socket;
        int descriptor;
        QString text;
    };

    enum DrainMode { UnlessHeld, EvenIfHeld };

    static int freeDescriptors();
    int indexOf(const QTcpSocket *socket) const;
    void drain(const Client &client, DrainMode mode);

    QList<Client> clientList;
    bool readingHeld = false;
    QTimer descriptorWatch;
    bool acceptingPaused = false;
};

#endif // TCPSERVER_H

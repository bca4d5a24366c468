#ifndef TCPSERVER_H
#define TCPSERVER_H

#include <QHash>
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
    // What a client's socket buffers while reading is held, and the largest
    // piece one read hands on. The window's TCP client link uses it too.
    static constexpr qint64 maxReadChunk = 1024 * 1024;

    explicit TcpServer(QObject *parent = nullptr);
    ~TcpServer() override;

    int clientCount() const;

    // While reading is held, nothing is read from the clients: once a
    // client's read buffer is full, TCP's flow control holds the client
    // back. Releasing reads what waits, a piece from each client in turn.
    // What a client sent before it went is always read.
    void holdReading(bool held);
    // The largest piece one read hands on, at most maxReadChunk.
    void setReadChunk(qint64 bytes);

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
    void clientFailed();
    void watchDescriptors();
    void pauseAfterFailedAccept();

private:
    // The descriptor and text are kept from accept time: once a socket has
    // disconnected it reports neither any more.
    struct Client
    {
        int descriptor;
        QString text;
    };

    enum DrainMode { UnlessHeld, EvenIfHeld };

    static int freeDescriptors();
    void setAccepting(bool accepting);
    bool readPiece(QTcpSocket *socket);
    void drain(QTcpSocket *socket, DrainMode mode);
    void drainInTurns();

    // Accept order, for sending and for taking turns; the hash finds a
    // socket's client in constant time.
    QList<QTcpSocket *> clientList;
    QHash<QTcpSocket *, Client> clients;
    int nextInTurn = 0;
    qint64 readChunk = maxReadChunk;
    bool readingHeld = false;
    QTimer descriptorWatch;
    bool acceptingPaused = false;
};

#endif // TCPSERVER_H

#ifndef TCPSERVER_H
#define TCPSERVER_H

#include "peerreader.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QTcpServer>
#include <QTimer>

class QTcpSocket;

// The listening side of the TCP server role: keeps every accepted client,
// hands on what each one sends together with its socket descriptor, announces
// arrivals and departures, and writes to one client or to all but one. The
// clients are read through a PeerReader: in pieces, in turns, and not at all
// while reading is held.
class TcpServer : public QTcpServer
{
    Q_OBJECT

public:
    // A client that keeps more than this many bytes unsent is dropped, so a
    // peer that stops reading cannot make the server's memory grow for ever.
    static constexpr qint64 maxPendingBytes = 4 * 1024 * 1024;

    explicit TcpServer(QObject *parent = nullptr);
    ~TcpServer() override;

    int clientCount() const;

    // While reading is held, nothing is read from the clients, and TCP's
    // flow control holds each one back once its socket holds a piece. A
    // release reads what waits from the event loop, a piece from each client
    // in turn. A client that goes has what it sent read in its turns, and
    // its departure shows after that.
    void holdReading(bool held);
    // What a client's socket buffers, and the largest piece one read hands on.
    void setReadChunk(qint64 bytes);

signals:
    void updateTcpServer(char *, int, int);
    void addClientLink(QString, int);
    void removeClientLink(QString, int);

public slots:
    // A client closed or failed.
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
        int descriptor;
        QString text;
    };

    static int freeDescriptors();
    void setAccepting(bool accepting);
    void clientFinished(QTcpSocket *socket);
    void dropOverloaded(QTcpSocket *socket);

    // Accept order, for sending; the hash finds a socket's client in constant
    // time. A client that went stays in the hash until it is finished.
    QList<QTcpSocket *> clientList;
    QHash<QTcpSocket *, Client> clients;
    PeerReader reader;
    QTimer descriptorWatch;
    bool acceptingPaused = false;
};

#endif // TCPSERVER_H

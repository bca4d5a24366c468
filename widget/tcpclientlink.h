#ifndef TCPCLIENTLINK_H
#define TCPCLIENTLINK_H

#include "peerreader.h"

#include <QTcpSocket>

class QHostAddress;

// The TCP client role's link to a server. The server is read as the server
// role reads its clients, through a PeerReader: in pieces, not at all while
// reading is held, and what was read is handed on even after the server went.
// A server that leaves more than TcpServer::maxPendingBytes unread counts as
// gone, as a client of the server role that does is dropped.
class TcpClientLink : public QTcpSocket
{
    Q_OBJECT

public:
    explicit TcpClientLink(QObject *parent = nullptr);

    // Connects within `timeoutMs`, holding the event loop meanwhile, and
    // reads the server from then on. An attempt that failed is aborted, so
    // that it cannot still succeed later.
    bool connectWithin(const QHostAddress &address, quint16 port, int timeoutMs);
    // Queues a block for the server; false once the server has left more
    // than the bound unread.
    bool send(const QByteArray &block);
    void holdReading(bool held);
    // What the socket buffers, and the largest piece one read hands on.
    void setReadChunk(qint64 bytes);
    // What is still queued may leave during a short grace period, then the
    // link is cut. Nothing more is handed on; the link deletes itself.
    void closeGracefully();
    // Cuts the link at once, dropping what is queued for the server; what
    // was read from it is still handed on, then serverGone() follows.
    void drop();

signals:
    void pieceRead(const QByteArray &piece);
    // The server closed, failed or was dropped, and all that was read from
    // it has been handed on.
    void serverGone();

private:
    PeerReader reader;
};

#endif // TCPCLIENTLINK_H

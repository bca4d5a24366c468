#ifndef TCPCLIENTLINK_H
#define TCPCLIENTLINK_H

#include <QTcpSocket>

class QHostAddress;

// The TCP client role's link to a server. What the server sends is buffered
// up to TcpServer::maxReadChunk only, so that holding the server back stops
// reading from it; a server that leaves more than TcpServer::maxPendingBytes
// unread counts as gone, as a client of the server role that does is dropped.
class TcpClientLink : public QTcpSocket
{
    Q_OBJECT

public:
    explicit TcpClientLink(QObject *parent = nullptr);

    // Connects within `timeoutMs`, holding the event loop meanwhile. An
    // attempt that failed is aborted, so that it cannot still succeed later.
    bool connectWithin(const QHostAddress &address, quint16 port, int timeoutMs);
    // Queues a block for the server; false once the server has left more
    // than the bound unread.
    bool send(const QByteArray &block);
    // What is still queued may leave during a short grace period, then the
    // link is cut. Either way the link deletes itself.
    void closeGracefully();
    // Cuts the link at once, dropping what is queued; it deletes itself.
    void drop();
};

#endif // TCPCLIENTLINK_H

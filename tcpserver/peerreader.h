#ifndef PEERREADER_H
#define PEERREADER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>

class QTcpSocket;

// The read side of the TCP roles. Each peer's socket buffers at most one
// piece, so that TCP's own flow control holds the peer back as soon as that
// piece waits; while reading is held, nothing is read at all. Reading goes a
// piece from each peer in turn, starting after the one served last.
//
// A peer that goes (a close, a reset, a failure, a drop) keeps what was read
// from it: what its socket holds is taken out at once, before Qt can discard
// it, and handed on in the peer's turns like everyone else's data. Once all of
// it has been handed on, the peer is finished.
class PeerReader : public QObject
{
    Q_OBJECT

public:
    // The largest piece, whatever the device's bound.
    static constexpr qint64 maxPieceBytes = 1024 * 1024;

    explicit PeerReader(QObject *parent = nullptr);

    // Reads `peer` from now on; it stays the caller's.
    void add(QTcpSocket *peer);
    // The peer closed, failed, or is about to be cut: what its socket holds
    // is taken out now and handed on in its turns; nothing more is read from
    // the socket itself.
    void peerGone(QTcpSocket *peer);
    // A release reads what waits, as readWaiting() does.
    void setHeld(bool held);
    // Reads what waits, a piece from each peer in turn, unless reading is
    // held: from the event loop, never on the caller's stack, since the
    // caller may be delivering a piece just read.
    void readWaiting();
    void setPieceBytes(qint64 bytes);

signals:
    void pieceRead(QTcpSocket *peer, const QByteArray &piece);
    // A peer that went has had all it sent handed on; it is no longer read.
    void finished(QTcpSocket *peer);

private:
    struct Peer
    {
        bool gone = false;
        QByteArray kept; // read out of the socket as it went
    };

    bool readPiece(QTcpSocket *peer);
    void readWhileNotHeld(QTcpSocket *peer);
    void readInTurns();
    void finishIfDone(QTcpSocket *peer);
    void forget(QTcpSocket *peer);

    QList<QTcpSocket *> turns;
    QHash<QTcpSocket *, Peer> peers;
    int nextInTurn = 0;
    qint64 piece = maxPieceBytes;
    bool held = false;
    bool readPosted = false;
};

#endif // PEERREADER_H

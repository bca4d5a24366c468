#include "peerreader.h"

#include <QPointer>
#include <QTcpSocket>

PeerReader::PeerReader(QObject *parent) : QObject(parent) { }

void PeerReader::add(QTcpSocket *peer)
{
    peer->setReadBufferSize(piece);
    turns.append(peer);
    peers.insert(peer, {});
    // Bound to the socket itself: QObject::sender() walks every connection
    // to the reader, one per peer, on each read.
    connect(peer, &QTcpSocket::readyRead, this, [this, peer] { readWhileNotHeld(peer); });
    connect(peer, &QObject::destroyed, this, [this, peer] { forget(peer); });
}

void PeerReader::peerGone(QTcpSocket *peer)
{
    const auto it = peers.find(peer);
    if (it == peers.end())
        return;
    it->gone = true;
    // Qt discards what a socket holds when it is aborted, as after a failed
    // write or a drop.
    it->kept += peer->readAll();
    finishIfDone(peer);
    readWaiting();
}

void PeerReader::setHeld(bool held)
{
    this->held = held;
    if (!held)
        readWaiting();
}

void PeerReader::setPieceBytes(qint64 bytes)
{
    piece = qBound<qint64>(1, bytes, maxPieceBytes);
    for (QTcpSocket *peer : qAsConst(turns))
        peer->setReadBufferSize(piece);
}

// Hands on one piece of what the peer sent; false when nothing waits.
bool PeerReader::readPiece(QTcpSocket *peer)
{
    const auto it = peers.find(peer);
    if (it == peers.end())
        return false;
    QByteArray bytes;
    if (!it->kept.isEmpty()) {
        bytes = it->kept.left(int(piece));
        it->kept.remove(0, bytes.size());
    } else if (!it->gone && peer->bytesAvailable() > 0) {
        bytes = peer->read(piece);
    }
    if (bytes.isEmpty())
        return false;
    // A receiver may run code that deletes the peer.
    QPointer<QTcpSocket> guard = peer;
    emit pieceRead(peer, bytes);
    if (guard)
        finishIfDone(peer);
    return true;
}

void PeerReader::readWhileNotHeld(QTcpSocket *peer)
{
    QPointer<QTcpSocket> guard = peer;
    while (guard && !held && readPiece(peer)) { }
}

// A piece from each peer in turn, starting after the one served last, until
// reading is held or no peer has anything: with several busy peers, every
// one of them gets its share.
void PeerReader::readInTurns()
{
    readPosted = false;
    bool anyRead = true;
    while (anyRead && !held) {
        anyRead = false;
        for (int left = turns.size(); left > 0 && !held && !turns.isEmpty(); --left) {
            nextInTurn %= turns.size();
            anyRead = readPiece(turns.at(nextInTurn++)) || anyRead;
        }
    }
}

void PeerReader::readWaiting()
{
    if (held || readPosted)
        return;
    readPosted = true;
    QMetaObject::invokeMethod(this, &PeerReader::readInTurns, Qt::QueuedConnection);
}

void PeerReader::finishIfDone(QTcpSocket *peer)
{
    const auto it = peers.constFind(peer);
    if (it == peers.constEnd() || !it->gone || !it->kept.isEmpty())
        return;
    forget(peer);
    emit finished(peer);
}

void PeerReader::forget(QTcpSocket *peer)
{
    const int index = turns.indexOf(peer);
    if (index < 0)
        return;
    turns.removeAt(index);
    peers.remove(peer);
    // The peer after it keeps its turn.
    if (index < nextInTurn)
        --nextInTurn;
    disconnect(peer, nullptr, this, nullptr);
}

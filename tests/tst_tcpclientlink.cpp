#include "tcpclientlink.h"
#include "sockets.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

// The TCP client role's link on its own, to a loopback server.
class tst_TcpClientLink : public QObject
{
    Q_OBJECT

private slots:
    void whatWasReadIsHandedOn_data();
    void whatWasReadIsHandedOn();
};

void tst_TcpClientLink::whatWasReadIsHandedOn_data()
{
    QTest::addColumn<bool>("dropped"); // by the link; otherwise the server closes
    QTest::addColumn<int>("handedOn"); // of the 100 KiB the server sent
    QTest::newRow("server closes while reading is held") << false << 100 * 1024;
    // The link holds one piece when it is cut; what the kernel held is gone.
    QTest::newRow("link dropped while reading is held") << true << 16 * 1024;
}

void tst_TcpClientLink::whatWasReadIsHandedOn()
{
    // Nothing moves while reading is held; once released, what was read
    // comes in pieces, and the server's end after all of it.
    QFETCH(bool, dropped);
    QFETCH(int, handedOn);
    QTcpServer listener;
    QVERIFY(listener.listen(loopback(), 0));
    TcpClientLink link;
    QVERIFY(link.connectWithin(loopback(), listener.serverPort(), 3000));
    QVERIFY(listener.waitForNewConnection(3000));
    QTcpSocket *server = listener.nextPendingConnection();

    QByteArray received;
    int largestPiece = 0;
    connect(&link, &TcpClientLink::pieceRead, this, [&](const QByteArray &piece) {
        received += piece;
        largestPiece = qMax(largestPiece, int(piece.size()));
    });
    QSignalSpy gone(&link, &TcpClientLink::serverGone);
    link.setReadChunk(16 * 1024);
    link.holdReading(true);
    server->write(QByteArray(100 * 1024, 's'));
    QTRY_COMPARE(link.bytesAvailable(), 16 * 1024);
    if (dropped)
        link.drop();
    else
        server->disconnectFromHost();
    QTest::qWait(300);
    QCOMPARE(received.size(), 0);
    QCOMPARE(gone.count(), 0);

    link.holdReading(false);
    QTRY_COMPARE(gone.count(), 1);
    QCOMPARE(received, QByteArray(handedOn, 's'));
    QCOMPARE(largestPiece, 16 * 1024);
}

QTEST_GUILESS_MAIN(tst_TcpClientLink)
#include "tst_tcpclientlink.moc"

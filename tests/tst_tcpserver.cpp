#include "tcpserver.h"
#include "sockets.h"

#include <QTcpSocket>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>

#include <memory>
#include <vector>

// The multi-client server on its own, with loopback clients.
class tst_TcpServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void handsOnWhatOneClientSends();
    void arrivalsAndDepartures_data();
    void arrivalsAndDepartures();
    void send_data();
    void send();
    void slowClientIsDropped();
    void clientsTakeTurnsAfterAHold();

private:
    // The client text and descriptor of the i-th addClientLink or removeClientLink.
    static QString text(const QSignalSpy &spy, int i) { return spy.at(i).at(0).toString(); }
    static int descriptor(const QSignalSpy &spy, int i) { return spy.at(i).at(1).toInt(); }
    QTcpSocket *connectClient();
    void connectClients(int count);

    std::unique_ptr<TcpServer> server;
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    std::unique_ptr<QSignalSpy> arrivals;
    std::unique_ptr<QSignalSpy> departures;
};

void tst_TcpServer::init()
{
    server = std::make_unique<TcpServer>();
    QVERIFY(server->listen(loopback(), 0));
    arrivals = std::make_unique<QSignalSpy>(server.get(), &TcpServer::addClientLink);
    departures = std::make_unique<QSignalSpy>(server.get(), &TcpServer::removeClientLink);
}

void tst_TcpServer::cleanup()
{
    clients.clear();
    arrivals.reset();
    departures.reset();
    server.reset();
}

QTcpSocket *tst_TcpServer::connectClient()
{
    const int before = arrivals->count();
    clients.push_back(std::make_unique<QTcpSocket>());
    QTcpSocket *client = clients.back().get();
    client->connectToHost(loopback(), server->serverPort());
    if (!client->waitForConnected(3000))
        return nullptr;
    const bool announced = QTest::qWaitFor([&] { return arrivals->count() > before; }, 3000);
    return announced && arrivals->count() == before + 1 ? client : nullptr;
}

void tst_TcpServer::connectClients(int count)
{
    for (int i = 0; i < count; ++i)
        QVERIFY(connectClient());
}

void tst_TcpServer::handsOnWhatOneClientSends()
{
    connectClients(2);
    QByteArray received;
    QList<int> senders;
    connect(server.get(), &TcpServer::updateTcpServer, this,
            [&](char *data, int length, int descriptor) {
                received.append(data, length);
                senders.append(descriptor);
            });
    const QByteArray payload("RTCM\0\r\n\xd3\x00", 9);
    clients[1]->write(payload);
    QTRY_COMPARE(received, payload);
    for (int sender : senders)
        QCOMPARE(sender, descriptor(*arrivals, 1));
}

void tst_TcpServer::arrivalsAndDepartures_data()
{
    QTest::addColumn<bool>("reset");
    QTest::addColumn<bool>("held"); // reading, while the client sends and goes
    QTest::addColumn<int>("sent"); // by the client before it goes
    QTest::newRow("orderly close") << false << false << 0;
    QTest::newRow("abrupt reset") << true << false << 0;
    // What a client sent before it closed waits for its turns like anyone's,
    // and its departure shows once all of it has been handed on: whether its
    // socket holds all of it and the close, or one piece of it only.
    QTest::newRow("orderly close while held, short block") << false << true << 1000;
    QTest::newRow("orderly close while held, many pieces") << false << true << 100 * 1024;
}

void tst_TcpServer::arrivalsAndDepartures()
{
    QFETCH(bool, reset);
    QFETCH(bool, held);
    QFETCH(int, sent);
    connectClients(3);
    // Each arrival is announced with its address and a descriptor of its own.
    QSet<int> descriptors;
    for (size_t i = 0; i < clients.size(); ++i) {
        QCOMPARE(text(*arrivals, int(i)),
                 QStringLiteral("127.0.0.1:%1").arg(clients[i]->localPort()));
        QVERIFY(descriptor(*arrivals, int(i)) > 0);
        descriptors.insert(descriptor(*arrivals, int(i)));
    }
    QCOMPARE(descriptors.size(), 3);
    QCOMPARE(server->clientCount(), 3);

    qint64 forwarded = 0, forwardedAtDeparture = -1;
    connect(server.get(), &TcpServer::updateTcpServer, this,
            [&](char *, int length, int) { forwarded += length; });
    connect(server.get(), &TcpServer::removeClientLink, this,
            [&] { forwardedAtDeparture = forwarded; });
    server->setReadChunk(16 * 1024);
    server->holdReading(held);
    clients[1]->write(QByteArray(sent, 'd'));
    if (reset)
        clients[1]->abort();
    else
        clients[1]->disconnectFromHost();
    if (held) {
        QTest::qWait(300);
        QCOMPARE(forwarded, 0);
        QCOMPARE(departures->count(), 0);
        server->holdReading(false);
    }

    QTRY_COMPARE(departures->count(), 1);
    QCOMPARE(forwardedAtDeparture, qint64(sent));
    QCOMPARE(descriptor(*departures, 0), descriptor(*arrivals, 1));
    QCOMPARE(text(*departures, 0), text(*arrivals, 1));
    QCOMPARE(server->clientCount(), 2);

    // The others still receive.
    char message[] = "still here";
    server->sendDataToClient(message, 10, 0, -1);
    QCOMPARE(readAtLeast(clients[0].get(), 10), QByteArray("still here"));
    QCOMPARE(readAtLeast(clients[2].get(), 10), QByteArray("still here"));
}

void tst_TcpServer::send_data()
{
    QTest::addColumn<int>("target"); // index of the client, -1 for none
    QTest::addColumn<int>("leftOut"); // index of the client, -1 for none
    QTest::addColumn<QList<bool>>("receives");

    QTest::newRow("to one client") << 1 << -1 << QList<bool>({ false, true, false });
    QTest::newRow("to all but one") << -1 << 2 << QList<bool>({ true, true, false });
    QTest::newRow("to all") << -1 << -1 << QList<bool>({ true, true, true });
}

void tst_TcpServer::send()
{
    QFETCH(int, target);
    QFETCH(int, leftOut);
    QFETCH(QList<bool>, receives);

    connectClients(3);
    char message[] = "$GPGGA\0x";
    server->sendDataToClient(message, 8, target < 0 ? 0 : descriptor(*arrivals, target),
                             leftOut < 0 ? -1 : descriptor(*arrivals, leftOut));
    for (int i = 0; i < 3; ++i) {
        const QByteArray got = receives.at(i) ? readAtLeast(clients[size_t(i)].get(), 8)
                                              : (QTest::qWait(50), clients[size_t(i)]->readAll());
        QCOMPARE(got, receives.at(i) ? QByteArray(message, 8) : QByteArray());
    }
}

void tst_TcpServer::slowClientIsDropped()
{
    connectClients(2);
    QTcpSocket *stalled = clients[0].get();
    QTcpSocket *reader = clients[1].get();
    stalled->setReadBufferSize(1); // stops reading: the kernel buffers fill up

    // What it sent while reading was held is handed on in its turn, and its
    // departure shows after that.
    QByteArray forwarded;
    connect(server.get(), &TcpServer::updateTcpServer, this,
            [&forwarded](char *data, int length, int) { forwarded.append(data, length); });
    server->holdReading(true);
    stalled->write("last words");
    QVERIFY(QTest::qWaitFor(
            [this] {
                const auto sockets = server->findChildren<QTcpSocket *>();
                return std::any_of(sockets.begin(), sockets.end(), [](QTcpSocket *socket) {
                    return socket->bytesAvailable() == 10;
                });
            },
            3000));

    QByteArray chunk(64 * 1024, 'x');
    qint64 readByOther = 0;
    const qint64 limit = 64 * 1024 * 1024;
    qint64 sent = 0;
    for (int i = 0; sent < limit && server->clientCount() == 2 && i < 5000; ++i) {
        server->sendDataToClient(chunk.data(), chunk.size(), 0, -1);
        sent += chunk.size();
        QCoreApplication::processEvents();
        readByOther += reader->readAll().size();
    }
    QTest::qWait(100);
    QCOMPARE(departures->count(), 0);
    QCOMPARE(forwarded, QByteArray());
    server->holdReading(false);
    QTRY_COMPARE(departures->count(), 1);
    QCOMPARE(forwarded, QByteArray("last words"));
    QCOMPARE(descriptor(*departures, 0), descriptor(*arrivals, 0));
    QCOMPARE(server->clientCount(), 1);
    QVERIFY2(sent < limit, "the stalled client was never dropped");

    // The other client gets every byte.
    QVERIFY(QTest::qWaitFor(
            [&] {
                readByOther += reader->readAll().size();
                return readByOther >= sent;
            },
            10000));
    QCOMPARE(readByOther, sent);
}

void tst_TcpServer::clientsTakeTurnsAfterAHold()
{
    // Three busy clients while reading is held: once released, each one's
    // data moves on in turn, and all of it arrives.
    connectClients(3);
    server->holdReading(true);
    server->setReadChunk(16 * 1024);
    const QByteArray sent(256 * 1024, 'r');
    for (auto &client : clients)
        client->write(sent);
    QTest::qWait(300);
    QHash<int, int> received;
    int pieces = 0;
    connect(server.get(), &TcpServer::updateTcpServer, this,
            [&](char *, int length, int descriptor) {
                received[descriptor] += length;
                if (++pieces == 6)
                    server->holdReading(true);
            });
    // A release reads from the event loop, never on its caller's stack.
    server->holdReading(false);
    QCOMPARE(pieces, 0);
    for (int i = 0; i < 3; ++i)
        QTRY_COMPARE(received.value(descriptor(*arrivals, i)), 2 * 16 * 1024);
    server->holdReading(false);
    for (int i = 0; i < 3; ++i)
        QTRY_COMPARE(received.value(descriptor(*arrivals, i)), sent.size());
}

QTEST_GUILESS_MAIN(tst_TcpServer)
#include "tst_tcpserver.moc"

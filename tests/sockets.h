#ifndef SOCKETS_H
#define SOCKETS_H

#include <QByteArray>
#include <QHostAddress>

class QIODevice;

// 127.0.0.1, where every test and benchmark keeps its traffic.
QHostAddress loopback();

// A TCP port on 127.0.0.1 that nothing listens on at the moment.
quint16 freeTcpPort();

// A blocking socket connected to 127.0.0.1:port (a UDP one sends there), -1
// when it could not connect, for a peer that a thread drives without an event
// loop; a receive buffer of `receiveBytes` where asked (0: the system's).
// Sending all of `bytes` on one, false when the link failed; ending its
// sending, which wakes a sendAll() blocked on it; and closing it, with a reset
// where asked.
enum class Transport { Tcp, Udp };
int connectedSocket(quint16 port, Transport transport = Transport::Tcp, int receiveBytes = 0);
bool sendAll(int socket, const QByteArray &bytes);
void shutdownSocket(int socket);
void closeSocket(int socket, bool reset = false);
// A UDP socket bound to a free port on 127.0.0.1, which it sets in `port`,
// with a receive buffer of `receiveBytes`; -1 when it could not bind.
int boundUdpSocket(quint16 *port, int receiveBytes);

// Runs the event loop until `device` holds at least `atLeast` bytes or five
// seconds pass, then reads everything it holds.
QByteArray readAtLeast(QIODevice *device, int atLeast);

// How many descriptors (handles on Windows) the process has open.
int openDescriptors();

#endif // SOCKETS_H

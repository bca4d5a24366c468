#include "sockets.h"

#include <QDir>
#include <QElapsedTimer>
#include <QIODevice>
#include <QTcpServer>
#include <QTest>

#ifdef Q_OS_WIN
#  include <winsock2.h>
#  include <ws2tcpip.h>
#  include <windows.h>
#else
#  include <arpa/inet.h>
#  include <netinet/in.h>
#  include <sys/socket.h>
#  include <unistd.h>
#endif

QHostAddress loopback()
{
    return QHostAddress(QHostAddress::LocalHost);
}

quint16 freeTcpPort()
{
    QTcpServer probe;
    probe.listen(loopback(), 0);
    return probe.serverPort();
}

#ifdef Q_OS_WIN
// Winsock's socket handles fit in an int in practice; the calls take them back.
using NativeSocket = SOCKET;
constexpr int noSignal = 0;
constexpr int shutBoth = SD_BOTH;
int closeNativeSocket(NativeSocket socket)
{
    return closesocket(socket);
}
#else
using NativeSocket = int;
constexpr int noSignal = MSG_NOSIGNAL;
constexpr int shutBoth = SHUT_RDWR;
int closeNativeSocket(NativeSocket socket)
{
    return ::close(socket);
}
#endif

int connectedSocket(quint16 port, Transport transport, int receiveBytes)
{
#ifdef Q_OS_WIN
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        return -1;
#endif
    const NativeSocket fd =
            socket(AF_INET, transport == Transport::Udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    // Before connecting, so that TCP offers the peer that window.
    if (receiveBytes > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&receiveBytes),
                   sizeof receiveBytes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        return int(fd);
    closeNativeSocket(fd);
    return -1;
}

int boundUdpSocket(quint16 *port, int receiveBytes)
{
    const NativeSocket fd = socket(AF_INET, SOCK_DGRAM, 0);
#ifdef SO_RCVBUFFORCE
    // Root may go past the system's limit, as a busy sink needs.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBytes, sizeof receiveBytes) != 0)
#endif
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&receiveBytes),
                   sizeof receiveBytes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        closeNativeSocket(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return int(fd);
}

bool sendAll(int socket, const QByteArray &bytes)
{
    for (qsizetype sent = 0; sent < bytes.size();) {
        const int piece = int(qMin<qsizetype>(bytes.size() - sent, 1 << 20));
        const auto n = ::send(NativeSocket(socket), bytes.constData() + sent, piece, noSignal);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

void shutdownSocket(int socket)
{
    ::shutdown(NativeSocket(socket), shutBoth);
}

void closeSocket(int socket, bool reset)
{
    if (reset) {
        const linger immediately{ 1, 0 };
        setsockopt(NativeSocket(socket), SOL_SOCKET, SO_LINGER,
                   reinterpret_cast<const char *>(&immediately), sizeof immediately);
    }
    closeNativeSocket(NativeSocket(socket));
}

QByteArray readAtLeast(QIODevice *device, int atLeast)
{
    QElapsedTimer clock;
    clock.start();
    while (device->bytesAvailable() < atLeast && clock.elapsed() < 5000)
        QTest::qWait(5);
    return device->readAll();
}

int openDescriptors()
{
#ifdef Q_OS_WIN
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    return int(handles);
#else
    // The listing's own descriptor is among the entries.
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size() - 1;
#endif
}

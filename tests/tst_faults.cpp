#include "fakeserialports.h"
#include "testsupport.h"
#include "widget.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QUdpSocket>
#include <QtTest>

#include <cstdio>

#include <sys/mount.h>

// Faults under load, with the simulator playing the receiver on a port that
// the system lists like a USB adapter.
class tst_Faults : public QObject
{
    Q_OBJECT

private slots:
    void streamSurvivesClientChurn();
    void unpluggedMidStreamAndPluggedBack();
    void readOnlyCaptureFolder();
    void closingWithEveryLinkUpExitsCleanly();

private:
    static void click(Widget &window, const char *button)
    {
        window.findChild<QPushButton *>(button)->click();
    }
    static quint16 serverPort(Widget &window)
    {
        auto *server = window.findChild<QTcpServer *>();
        return server ? server->serverPort() : 0;
    }
};

#ifdef TAVRIK_SANITIZE
static const int streamSize = 10 * 1000 * 1000;
#else
static const int streamSize = 50 * 1000 * 1000;
#endif

void tst_Faults::streamSurvivesClientChurn()
{
    QTemporaryDir folder;
    QByteArray stream;
    stream.reserve(streamSize + 100);
    for (int i = 0; stream.size() < streamSize; ++i)
        stream += "$GPGGA," + QByteArray::number(i) + ",4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,\r\n";
    stream.truncate(streamSize);
    QFile file(folder.filePath("stream"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(stream) == stream.size());
    file.close();

    Simulator simulator;
    const QString slave = simulator.start({ "--wait", "--count", "0", "--send", file.fileName() });
    QVERIFY(!slave.isEmpty());
    FakeSerialPorts adapters;
    const QString port = adapters.plug(slave);
    QVERIFY(!port.isEmpty());

    Widget window;
    QCOMPARE(window.findChild<QComboBox *>("ComBC")->currentText(), port);
    startTcpServerRole(window);
    QVERIFY(serverPort(window) != 0);

    QTcpSocket steady;
    QByteArray received;
    connect(&steady, &QTcpSocket::readyRead, this, [&] { received += steady.readAll(); });
    steady.connectToHost(QHostAddress::LocalHost, serverPort(window));
    QVERIFY(steady.waitForConnected(3000));

    // Another client connects and drops every 100 ms all along.
    int churns = 0;
    std::unique_ptr<QTcpSocket> churning;
    QTimer churn;
    connect(&churn, &QTimer::timeout, this, [&] {
        if (churning)
            churning->abort();
        churning = std::make_unique<QTcpSocket>();
        churning->connectToHost(QHostAddress::LocalHost, serverPort(window));
        ++churns;
    });
    churn.start(100);

    click(window, "ConnectBtn");
    QTRY_VERIFY_WITH_TIMEOUT(received.size() >= stream.size(), 100000);
    churn.stop();
    QCOMPARE(received.size(), stream.size());
    QVERIFY(received == stream);
    QVERIFY(churns >= 3);
}

void tst_Faults::unpluggedMidStreamAndPluggedBack()
{
    FakeSerialPorts adapters;
    auto first = std::make_unique<Simulator>();
    QString slave = first->start({ "--wait", "--rate", "max", "--hangup-after", "1" });
    QVERIFY(!slave.isEmpty());
    const QString port = adapters.plug(slave);

    Widget window;
    auto *view = window.findChild<QTextEdit *>("textEdit_Servce");
    auto *button = window.findChild<QPushButton *>("ConnectBtn");
    MessageBoxCloser boxes;
    click(window, "ConnectBtn");
    QTRY_VERIFY(view->toPlainText().contains("$GPGGA"));

    // The simulator hangs up mid-stream; the adapter leaves the system.
    QTRY_COMPARE_WITH_TIMEOUT(boxes.texts, QStringList({ "串口连接已断开!" }), 5000);
    QCOMPARE(button->text(), QStringLiteral("串口连接"));
    adapters.unplug(port);
    first.reset();

    Simulator second;
    slave = second.start({ "--wait", "--rate", "100" });
    const QString again = adapters.plug(slave);
    click(window, "CheckBtn");
    QCOMPARE(window.findChild<QComboBox *>("ComBC")->currentText(), again);
    click(window, "ClearBtn");
    click(window, "ConnectBtn");
    QCOMPARE(button->text(), QStringLiteral("串口关闭"));
    QTRY_VERIFY(view->toPlainText().contains("$GPGGA"));
    QCOMPARE(boxes.texts.size(), 1);
}

void tst_Faults::readOnlyCaptureFolder()
{
    QTemporaryDir folder;
    CaptureDirectory capture(folder.path());
    const QByteArray captureFolder = QDir(folder.path()).filePath("D:").toLocal8Bit();
    QVERIFY(mount("tmpfs", captureFolder.constData(), "tmpfs", MS_RDONLY, nullptr) == 0);

    Simulator simulator;
    const QString slave = simulator.start({ "--wait", "--rate", "50" });
    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress(QHostAddress::LocalHost), 0));
    Widget window(fakeProbe({ slave }));
    connectUdpRole(window, peer.localPort());
    click(window, "ConnectBtn");
    const quint16 local = window.findChild<QUdpSocket *>()->localPort();

    TraceLog trace;
    for (int i = 0; i < 3; ++i)
        peer.writeDatagram("correction", QHostAddress::LocalHost, local);
    QTRY_COMPARE(trace.count("Can't open file for writing"), 3);
    QCOMPARE(trace.count("向串口写入数据正确"), 3);

    // The receiver's stream goes on reaching the network.
    int datagrams = 0;
    QElapsedTimer clock;
    clock.start();
    while (datagrams < 5 && clock.elapsed() < 5000) {
        QTest::qWait(10);
        while (peer.hasPendingDatagrams() && peer.receiveDatagram().isValid())
            ++datagrams;
    }
    QVERIFY(datagrams >= 5);
    umount2(captureFolder.constData(), MNT_DETACH);
}

void tst_Faults::closingWithEveryLinkUpExitsCleanly()
{
    Simulator simulator;
    const QString slave = simulator.start({ "--wait", "--rate", "100" });
    FakeSerialPorts adapters;
    QVERIFY(!adapters.plug(slave).isEmpty());

    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), { "--close-with-links-up" });
    if (!child.waitForFinished(20000)) {
        child.kill();
        child.waitForFinished(3000);
        QFAIL("the program did not end after its window was closed");
    }
    const QByteArray output = child.readAllStandardOutput();
    QVERIFY2(output.contains("links up"), output.constData());
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
}

// The program's own way of running: the window with the serial link open and
// a TCP server with a client, closed by the operator.
static int closeWithLinksUp(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Widget window;
    window.show();
    window.findChild<QPushButton *>("ConnectBtn")->click();
    startTcpServerRole(window);
    QTcpSocket client;
    if (auto *server = window.findChild<QTcpServer *>())
        client.connectToHost(QHostAddress::LocalHost, server->serverPort());
    QTimer::singleShot(500, &window, [&] {
        if (window.findChild<QPushButton *>("ConnectBtn")->text() == QStringLiteral("串口关闭")
            && window.findChild<QPushButton *>("pBtnNetCnnt")->text() == QStringLiteral("断开网络")
            && client.state() == QAbstractSocket::ConnectedState) {
            std::printf("links up\n");
            std::fflush(stdout);
        }
        window.close();
    });
    return app.exec();
}

int main(int argc, char *argv[])
{
    // The child runs in the parent's namespace, with the parent's adapters.
    if (argc > 1 && qstrcmp(argv[1], "--close-with-links-up") == 0)
        return closeWithLinksUp(argc, argv);
    return FakeSerialPorts::runTest<tst_Faults>(argc, argv);
}

#include "tst_faults.moc"

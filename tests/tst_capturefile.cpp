#include "capturefile.h"
#include "windowrig.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#ifdef Q_OS_UNIX
#  include <sys/resource.h>
#  include <sys/stat.h>
#endif

// The capture file on its own: each block appended with its trace line, or
// the trace line that says why it could not be.
class tst_CaptureFile : public QObject
{
    Q_OBJECT

private slots:
    void append_data();
    void append();
};

void tst_CaptureFile::append_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QString>("traced");
    const QString cannotOpen = QStringLiteral("Can't open file for writing");
    QTest::newRow("a file of its own") << ""
                                       << "向文件写入数据正确";
    QTest::newRow("no folder") << "no folder" << cannotOpen;
    QTest::newRow("folder in its place") << "folder" << cannotOpen;
#ifdef Q_OS_UNIX
    // Opening a FIFO that nothing reads would block the program.
    QTest::newRow("FIFO") << "fifo" << cannotOpen;
    QTest::newRow("link to a device") << "device" << cannotOpen;
    // A file size limit fails the write as a full disk does.
    QTest::newRow("file size limit reached") << "size limit"
                                             << "Can't write to file: ";
#endif
}

void tst_CaptureFile::append()
{
    QFETCH(QString, obstacle);
    QFETCH(QString, traced);
    QTemporaryDir folder;
    QString path = folder.filePath("capture");
    if (obstacle == QLatin1String("no folder"))
        path = folder.filePath("gone/capture");
    else if (obstacle == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(path));
#ifdef Q_OS_UNIX
    else if (obstacle == QLatin1String("fifo"))
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (obstacle == QLatin1String("device"))
        QVERIFY(QFile::link("/dev/null", path));
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    const auto restoreLimit = qScopeGuard([&] {
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);
    });
    const rlimit limited{ 0, previous.rlim_max };
    if (obstacle == QLatin1String("size limit"))
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
#endif

    CaptureFile capture(path);
    TraceLog trace;
    capture.append(QByteArray("one\0", 4));
    capture.append("two");
    QCOMPARE(trace.lines().filter(traced).size(), 2);
    if (!obstacle.isEmpty()) {
        QVERIFY(!QFileInfo(path).isFile() || QFileInfo(path).size() == 0);
        return;
    }
    QCOMPARE(trace.lines().size(), 2);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("one\0two", 7));

    // Opened afresh for each block: a file moved away is made again.
    file.close();
    QVERIFY(QFile::rename(path, path + ".old"));
    capture.append("three");
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("three"));
}

QTEST_GUILESS_MAIN(tst_CaptureFile)
#include "tst_capturefile.moc"

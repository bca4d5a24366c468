#include "capturefile.h"
#include "windowrig.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>

#ifdef Q_OS_UNIX
#  include <sys/resource.h>
#  include <sys/stat.h>
#endif

// Puts something in the capture's way at `path`; false when it could not.
using Obstacle = std::function<bool(const QString &path)>;
Q_DECLARE_METATYPE(Obstacle)

// The capture file on its own: each block appended with its trace line, or
// the trace line that says why it could not be.
class tst_CaptureFile : public QObject
{
    Q_OBJECT

private slots:
    void appendsEachBlock();
    void cannotWrite_data();
    void cannotWrite();
};

void tst_CaptureFile::appendsEachBlock()
{
    QTemporaryDir folder;
    const QString path = folder.filePath("capture");
    CaptureFile capture(path);
    TraceLog trace;
    capture.append(QByteArray("one\0", 4));
    capture.append("two");
    QCOMPARE(trace.lines(), QStringList({ "向文件写入数据正确", "向文件写入数据正确" }));
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

void tst_CaptureFile::cannotWrite_data()
{
    QTest::addColumn<Obstacle>("obstacle");
    QTest::addColumn<QString>("traced");
    const QString cannotOpen = QStringLiteral("Can't open file for writing");
    QTest::newRow("no folder") << Obstacle([](const QString &path) {
        return QDir(path).removeRecursively() && QDir().rmdir(QFileInfo(path).path());
    }) << cannotOpen;
    QTest::newRow("folder in its place")
            << Obstacle([](const QString &path) { return QDir().mkdir(path); }) << cannotOpen;
#ifdef Q_OS_UNIX
    // Opening a FIFO that nothing reads would block the program.
    QTest::newRow("FIFO") << Obstacle([](const QString &path) {
        return mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
    }) << cannotOpen;
    QTest::newRow("link to a device")
            << Obstacle([](const QString &path) { return QFile::link("/dev/null", path); })
            << cannotOpen;
    // A file size limit fails the write as a full disk does.
    QTest::newRow("file size limit reached") << Obstacle([](const QString &) {
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 0;
        return setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }) << "Can't write to file: ";
#endif
}

void tst_CaptureFile::cannotWrite()
{
    QFETCH(Obstacle, obstacle);
    QFETCH(QString, traced);
    QTemporaryDir folder;
    const QString path = folder.filePath("in/capture");
    QVERIFY(QDir(folder.path()).mkdir("in"));
#ifdef Q_OS_UNIX
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    const auto restore = qScopeGuard([&] {
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);
    });
#endif
    QVERIFY(obstacle(path));

    CaptureFile capture(path);
    TraceLog trace;
    capture.append(QByteArray("one\0", 4));
    capture.append("two");
    QCOMPARE(trace.lines().filter(traced).size(), 2);
    QVERIFY(!QFileInfo(path).isFile() || QFileInfo(path).size() == 0);
}

QTEST_GUILESS_MAIN(tst_CaptureFile)
#include "tst_capturefile.moc"

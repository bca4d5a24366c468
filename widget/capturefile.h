#ifndef CAPTUREFILE_H
#define CAPTUREFILE_H

#include <QByteArray>
#include <QFile>
#include <QString>

// The file that network data is appended to, opened afresh for each block so
// that it can be moved away or created while the tool runs.
//
// Only a regular file, or a path where nothing is yet, is opened: opening a
// FIFO that nothing reads would block the whole program. One descriptor is
// kept in reserve on Unix, so that the capture goes on when the process has
// used up its descriptors (a TCP server with too many clients).
class CaptureFile
{
public:
    explicit CaptureFile(const QString &path);

    // Appends `bytes`, with the trace lines that tell how it went.
    void append(const QByteArray &bytes);

private:
    bool open(QFile &file);
    void holdReserve();

    QString path;
    QFile reserve;
};

#endif // CAPTUREFILE_H

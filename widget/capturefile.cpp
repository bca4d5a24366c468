#include "capturefile.h"

#include "trace.h"

#include <QFileInfo>

CaptureFile::CaptureFile(const QString &path) : path(path)
{
#ifdef Q_OS_UNIX
    // Windows has no per-process limit on handles to run into.
    reserve.setFileName(QStringLiteral("/dev/null"));
#endif
    holdReserve();
}

void CaptureFile::holdReserve()
{
    if (!reserve.fileName().isEmpty() && !reserve.isOpen())
        reserve.open(QIODevice::ReadOnly);
}

void CaptureFile::append(const QByteArray &bytes)
{
    QFile file(path);
    if (!open(file)) {
        trace(QStringLiteral("Can't open file for writing"));
        return;
    }
    trace(QStringLiteral("向文件写入数据正确"));
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    if (!written)
        trace(QStringLiteral("Can't write to file: ") + file.errorString());
    file.close();
    holdReserve();
}

bool CaptureFile::open(QFile &file)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return false;
    constexpr QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Append;
    if (file.open(mode))
        return true;
    if (!reserve.isOpen())
        return false;
    // Perhaps out of descriptors: the one in reserve is for this.
    reserve.close();
    if (file.open(mode))
        return true;
    holdReserve();
    return false;
}

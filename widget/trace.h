#ifndef TRACE_H
#define TRACE_H

#include <QDebug>
#include <QString>

// One line of the debug trace, exactly as given.
inline void trace(const QString &line)
{
    qDebug().noquote() << line;
}

#endif // TRACE_H

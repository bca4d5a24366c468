#ifndef DISPLAYTEXT_H
#define DISPLAYTEXT_H

#include <QByteArray>
#include <QString>

// How a block of bytes from the receiver or the network shows in the views.

// The bytes as text in the locale's encoding; false when they are not text:
// an invalid sequence, or a control byte other than CR, LF and TAB.
bool decodeLocal8Bit(const QByteArray &bytes, QString *text);

// The bytes up to the first NUL, as text. A block that is not text (binary
// corrections) shows as one short hex line, "D3 00 13 …(+N)": as text it
// would be a run of random glyphs, each new one a lasting cost in the font
// caches of a program that runs for days.
QString displayText(const QByteArray &bytes);

// As the serial view shows a read: each CR LF pair a space.
QString serialViewText(const QByteArray &bytes);
// As the network view shows a block: CR LF pairs removed.
QString networkViewText(const QByteArray &bytes);

#endif // DISPLAYTEXT_H

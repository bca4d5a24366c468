#include "displaytext.h"

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
#  include <QStringDecoder>
#else
#  include <QTextCodec>
#endif

namespace {
// How many bytes of a block that is not text its hex line shows.
constexpr int hexLineBytes = 16;
} // namespace

bool decodeLocal8Bit(const QByteArray &bytes, QString *text)
{
    for (const char byte : bytes) {
        const uchar c = uchar(byte);
        if ((c < 0x20 && c != '\r' && c != '\n' && c != '\t') || c == 0x7f)
            return false;
    }
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QStringDecoder decoder(QStringDecoder::System, QStringDecoder::Flag::Stateless);
    *text = decoder(bytes);
    return !decoder.hasError();
#else
    QTextCodec::ConverterState state;
    *text = QTextCodec::codecForLocale()->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
#endif
}

QString displayText(const QByteArray &bytes)
{
    const int end = bytes.indexOf('\0');
    QString text;
    if (decodeLocal8Bit(end < 0 ? bytes : bytes.left(end), &text))
        return text;
    text = QString::fromLatin1(bytes.left(hexLineBytes).toHex(' ').toUpper());
    if (bytes.size() > hexLineBytes)
        text += QStringLiteral(" \u2026(+%1)").arg(bytes.size() - hexLineBytes);
    return text;
}

QString serialViewText(const QByteArray &bytes)
{
    return displayText(bytes).replace(QLatin1String("\r\n"), QLatin1String(" "));
}

QString networkViewText(const QByteArray &bytes)
{
    return displayText(bytes).remove(QLatin1String("\r\n"));
}

#include "displaytext.h"

#include <QtTest>

// How a block of bytes shows in the serial view and in the network view.
class tst_DisplayText : public QObject
{
    Q_OBJECT

private slots:
    void viewsShow_data();
    void viewsShow();
};

void tst_DisplayText::viewsShow_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("serialView");
    QTest::addColumn<QString>("networkView");
    QTest::addColumn<bool>("utf8Locale"); // the row holds only where the locale is UTF-8

    QTest::newRow("CR LF pairs") << QByteArray("AB\r\nCD\r\n") << "AB CD "
                                 << "ABCD" << false;
    QTest::newRow("CR LF only") << QByteArray("\r\n") << " "
                                << "" << false;
    QTest::newRow("lone CR and LF kept") << QByteArray("A\rB\nC") << "A\rB\nC"
                                         << "A\rB\nC" << false;
    QTest::newRow("text stops at NUL") << QByteArray("AB\0CD", 5) << "AB"
                                       << "AB" << false;
    QTest::newRow("NUL first") << QByteArray("\0CD", 3) << ""
                               << "" << false;
    QTest::newRow("empty") << QByteArray() << ""
                           << "" << false;
    QTest::newRow("TAB and UTF-8 are text") << QByteArray("A\tB \xe4\xb8\xad") << "A\tB 中"
                                            << "A\tB 中" << true;
    QTest::newRow("invalid UTF-8: hex") << QByteArray("A\xff\xfe"
                                                      "B")
                                        << "41 FF FE 42"
                                        << "41 FF FE 42" << true;
    QTest::newRow("control byte: hex") << QByteArray("A\x01\r\nB") << "41 01 0D 0A 42"
                                       << "41 01 0D 0A 42" << false;
    QTest::newRow("DEL: hex") << QByteArray("A\x7f") << "41 7F"
                              << "41 7F" << false;
    // A correction: NUL after its first byte, which alone is no text; past
    // 16 bytes the hex line says how many more there are.
    const QByteArray correction(
            "\xd3\x00\x13\x3e\xd0\x00\x03\x8a\x45\x60\x79\x40\x00\x00\x00\x00\x7f\x01", 18);
    const QString hexLine =
            QStringLiteral("D3 00 13 3E D0 00 03 8A 45 60 79 40 00 00 00 00 \u2026(+2)");
    QTest::newRow("binary correction: short hex line") << correction << hexLine << hexLine << true;
}

void tst_DisplayText::viewsShow()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, utf8Locale);
    if (utf8Locale && QString::fromLocal8Bit("\xe4\xb8\xad") != QStringLiteral("中"))
        QSKIP("the locale's encoding is not UTF-8");
    QTEST(serialViewText(bytes), "serialView");
    QTEST(networkViewText(bytes), "networkView");
}

QTEST_APPLESS_MAIN(tst_DisplayText)
#include "tst_displaytext.moc"

#include "paragraphlog.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>

// The text views' log: bounded, refreshed in batches, cheap to lay out.
class tst_ParagraphLog : public QObject
{
    Q_OBJECT

private slots:
    void viewsStayBounded_data();
    void viewsStayBounded();
    void aBurstShowsItsNewestParagraphs();
    void longParagraphsAreShortened_data();
    void longParagraphsAreShortened();
    void followsTheNewestParagraph();
};

void tst_ParagraphLog::viewsStayBounded_data()
{
    QTest::addColumn<int>("length");
    QTest::newRow("GGA-sized paragraphs: the paragraph count bounds the view") << 80;
    QTest::newRow("large reads: the text size bounds the view") << 3000;
}

void tst_ParagraphLog::viewsStayBounded()
{
    QFETCH(int, length);
    QTextEdit view;
    ParagraphLog log(&view);
    // Few enough per refresh that every paragraph is shown.
    const int perRefresh = qMax(1, ParagraphLog::maxRefreshCharacters / (length + 8));
    const int total = 2 * ParagraphLog::maxParagraphs + 17;
    for (int i = 0; i < total; ++i) {
        log.append(QString::number(i).leftJustified(length, '.'));
        if (i % perRefresh == 0) {
            log.flush();
            QVERIFY(view.document()->blockCount() <= ParagraphLog::maxParagraphs);
            QVERIFY(view.document()->characterCount() <= ParagraphLog::maxCharacters);
        }
    }
    log.flush();
    QTextDocument *document = view.document();
    QVERIFY(document->blockCount() <= ParagraphLog::maxParagraphs);
    QVERIFY(document->characterCount() <= ParagraphLog::maxCharacters);
    QVERIFY(document->characterCount() >= ParagraphLog::maxCharacters / 2
            || document->blockCount() >= ParagraphLog::maxParagraphs - ParagraphLog::trimBatch);
    // The newest paragraphs, in order, with none missing in between.
    QCOMPARE(document->lastBlock().text().section('.', 0, 0), QString::number(total - 1));
    QCOMPARE(document->firstBlock().text().section('.', 0, 0).toInt(),
             total - document->blockCount());
    // Undo history would keep every paragraph ever shown, and bring trimmed
    // ones back; emptying the view must not turn it on again.
    QVERIFY(!document->isUndoAvailable());
    log.clear();
    log.append("after clear");
    log.flush();
    QVERIFY(!document->isUndoAvailable());
}

void tst_ParagraphLog::aBurstShowsItsNewestParagraphs()
{
    QTextEdit view;
    ParagraphLog log(&view);
    log.append("shown before");
    log.flush();
    // Ten refreshes' worth of text arrives between two refreshes, with two
    // paragraphs that must be shown among it.
    const int length = 1000;
    const int count = 10 * ParagraphLog::maxRefreshCharacters / length;
    for (int i = 0; i < count; ++i) {
        log.append(QString::number(i).leftJustified(length, '.'));
        if (i == 1 || i == count / 2)
            log.append(QStringLiteral("kept %1").arg(i), ParagraphLog::Kept);
    }
    QTRY_VERIFY(view.document()->blockCount() > 1);

    // Each run of skipped paragraphs leaves a marker with its count.
    QTextDocument *document = view.document();
    const int shown = document->blockCount() - 6;
    const QString marker = QStringLiteral("\u2026(+%1 \u00b6)");
    const QStringList before = { "shown before",
                                 marker.arg(2),
                                 "kept 1",
                                 marker.arg(count / 2 - 1),
                                 QStringLiteral("kept %1").arg(count / 2),
                                 marker.arg(count - shown - count / 2 - 1) };
    for (int i = 0; i < before.size(); ++i)
        QCOMPARE(document->findBlockByNumber(i).text(), before.at(i));
    QCOMPARE(document->lastBlock().text().section('.', 0, 0), QString::number(count - 1));
    QVERIFY(shown * length <= ParagraphLog::maxRefreshCharacters);
    QVERIFY(shown * length > ParagraphLog::maxRefreshCharacters - 2 * length);
    QCOMPARE(document->findBlockByNumber(6).text().section('.', 0, 0).toInt(), count - shown);

    log.append("queued");
    log.clear();
    QTest::qWait(2 * ParagraphLog::refreshIntervalMs);
    QVERIFY(view.toPlainText().isEmpty());
}

void tst_ParagraphLog::longParagraphsAreShortened_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("marker");
    QTest::newRow("at the limit") << ParagraphLog::maxParagraphCharacters << "";
    QTest::newRow("one over") << ParagraphLog::maxParagraphCharacters + 1 << " \u2026(+1)";
    QTest::newRow("1 MiB") << 1024 * 1024
                           << QStringLiteral(" \u2026(+%1)")
                                      .arg(1024 * 1024 - ParagraphLog::maxParagraphCharacters);
}

void tst_ParagraphLog::longParagraphsAreShortened()
{
    QFETCH(int, length);
    QFETCH(QString, marker);
    QTextEdit view;
    ParagraphLog log(&view);
    QString text(length, QLatin1Char('7'));
    text[0] = QLatin1Char('S');
    log.append(text);
    log.flush();
    const QString shown = view.toPlainText();
    QCOMPARE(shown.size(), qMin(length, int(ParagraphLog::maxParagraphCharacters)) + marker.size());
    QVERIFY(shown.startsWith(QLatin1Char('S')));
    QVERIFY(shown.endsWith(marker.isEmpty() ? QStringLiteral("7") : marker));
}

void tst_ParagraphLog::followsTheNewestParagraph()
{
    QTextEdit view;
    view.resize(300, 100);
    view.show();
    ParagraphLog log(&view);
    for (int refresh = 0; refresh < 3; ++refresh) {
        for (int i = 0; i < 50; ++i)
            log.append(QStringLiteral("line %1").arg(i));
        log.flush();
        QScrollBar *bar = view.verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());
    }
}

QTEST_MAIN(tst_ParagraphLog)
#include "tst_paragraphlog.moc"

#ifndef PARAGRAPHLOG_H
#define PARAGRAPHLOG_H

#include <QElapsedTimer>
#include <QObject>
#include <QList>
#include <QString>
#include <QTimer>

class QTextEdit;

// Shows paragraphs in a text view, each where QTextEdit::append would put it
// but always as plain text, and keeps the view bounded for a program that runs
// for days.
//
// Laying out and painting text costs far more than receiving it, so paragraphs
// are queued and put into the view together a few times a second. A refresh
// runs shortly after an append that finds it due: in the quiet gap after a
// read, once what was read has reached its peer, rather than in the middle of
// the next read. A timer catches the paragraphs that no append follows.
//
// A refresh shows at most maxRefreshCharacters of text: a stream too fast for
// anyone to read shows the newest paragraphs of each refresh and, in place of
// the older ones, a marker "…(+N ¶)" with their count, so that the display
// never throttles the data it shows. Laying out a line with no break
// opportunity costs time that grows with the square of its length, so a
// paragraph longer than maxParagraphCharacters shows its start and a marker
// with the count of characters left out. The oldest
// paragraphs leave the view in batches: QTextDocument::maximumBlockCount
// would re-lay out the whole document on every append once at its limit. The
// view keeps no undo history: it would hold every paragraph ever shown.
class ParagraphLog : public QObject
{
    Q_OBJECT

public:
    static constexpr int maxParagraphs = 5000;
    static constexpr int maxCharacters = 500 * 1000;
    static constexpr int trimBatch = 250;
    static constexpr int refreshIntervalMs = 250;
    static constexpr int maxRefreshCharacters = 32 * 1024;
    static constexpr int maxParagraphCharacters = 2048;
    static constexpr int settleMs = 3;

    explicit ParagraphLog(QTextEdit *view);

    // A paragraph appended as Kept is never among those a busy refresh skips.
    enum Importance { Skippable, Kept };
    void append(const QString &text, Importance importance = Skippable);
    // Shows what is queued now.
    void flush();
    // Empties the view and drops what is queued.
    void clear();

private:
    struct Paragraph
    {
        QString text;
        Importance importance;
        int skipped = 0; // a marker for this many skipped paragraphs
    };

    bool skipOldestSkippable();
    void show();
    void trim();

    QTextEdit *view;
    QList<Paragraph> pending;
    int pendingCharacters = 0;
    QTimer fallback;
    QElapsedTimer sinceFlush;
    bool flushPosted = false;
};

#endif // PARAGRAPHLOG_H

#ifndef PARAGRAPHLOG_H
#define PARAGRAPHLOG_H

#include <QObject>
#include <QStringList>
#include <QTimer>

class QTextEdit;

// Shows paragraphs in a text view, each as QTextEdit::append would, and keeps
// the view's size bounded for a program that runs for days.
//
// Laying out and painting text costs far more than receiving it, so paragraphs
// are queued and put into the view together ten times a second. A refresh
// shows at most maxRefreshCharacters of text: a stream too fast for anyone to
// read shows its newest paragraphs of each refresh and skips the older ones,
// which keeps the display from throttling the data it shows. The oldest
// paragraphs leave the view in batches, QTextDocument::maximumBlockCount would
// re-lay out the whole document on every append once the limit is reached.
class ParagraphLog : public QObject
{
    Q_OBJECT

public:
    static constexpr int maxParagraphs = 5000;
    static constexpr int maxCharacters = 500 * 1000;
    static constexpr int trimBatch = 250;
    static constexpr int refreshIntervalMs = 100;
    static constexpr int maxRefreshCharacters = 32 * 1024;

    explicit ParagraphLog(QTextEdit *view);

    void append(const QString &text);
    // Shows what is queued now.
    void flush();
    // Empties the view and drops what is queued.
    void clear();

private:
    void trim();

    QTextEdit *view;
    QStringList pending;
    int pendingCharacters = 0;
    QTimer refresh;
};

#endif // PARAGRAPHLOG_H

#include "paragraphlog.h"

#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

ParagraphLog::ParagraphLog(QTextEdit *view)
    : QObject(view)
    , view(view)
{
    refresh.setSingleShot(true);
    refresh.setInterval(refreshIntervalMs);
    connect(&refresh, &QTimer::timeout, this, &ParagraphLog::flush);
}

void ParagraphLog::append(const QString &text)
{
    pending.append(text);
    pendingCharacters += text.size();
    while (pending.size() > 1
           && (pending.size() > maxParagraphs || pendingCharacters > maxRefreshCharacters)) {
        pendingCharacters -= pending.first().size();
        pending.removeFirst();
    }
    if (!refresh.isActive())
        refresh.start();
}

void ParagraphLog::flush()
{
    refresh.stop();
    for (const QString &text : qAsConst(pending))
        view->append(text);
    pending.clear();
    pendingCharacters = 0;
    trim();
}

// Drops the oldest paragraphs once the view holds too many or too much text,
// a batch beyond the excess, so that trimming stays rare.
void ParagraphLog::trim()
{
    QTextDocument *document = view->document();
    const int excessParagraphs = document->blockCount() - maxParagraphs;
    const int excessCharacters = document->characterCount() - maxCharacters;
    if (excessParagraphs <= 0 && excessCharacters <= 0)
        return;

    const int paragraphsToDrop = excessParagraphs > 0 ? excessParagraphs + trimBatch : 0;
    const int charactersToDrop = excessCharacters > 0 ? excessCharacters + maxCharacters / 20 : 0;
    int paragraphs = 0;
    int characters = 0;
    for (QTextBlock block = document->firstBlock();
         block.isValid() && block != document->lastBlock()
         && (paragraphs < paragraphsToDrop || characters < charactersToDrop);
         block = block.next()) {
        ++paragraphs;
        characters += block.length();
    }
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::Start);
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, paragraphs);
    cursor.removeSelectedText();
}

void ParagraphLog::clear()
{
    refresh.stop();
    pending.clear();
    pendingCharacters = 0;
    view->clear();
}

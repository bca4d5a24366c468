#include "paragraphlog.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

ParagraphLog::ParagraphLog(QTextEdit *view) : QObject(view), view(view)
{
    view->setUndoRedoEnabled(false);
    fallback.setSingleShot(true);
    fallback.setInterval(2 * refreshIntervalMs);
    connect(&fallback, &QTimer::timeout, this, &ParagraphLog::flush);
    sinceFlush.start();
}

void ParagraphLog::append(const QString &text, Importance importance)
{
    if (text.size() > maxParagraphCharacters) {
        const int omitted = text.size() - maxParagraphCharacters;
        pending.append(
                { text.left(maxParagraphCharacters) + QStringLiteral(" \u2026(+%1)").arg(omitted),
                  importance });
    } else {
        pending.append({ text, importance });
    }
    pendingCharacters += pending.last().text.size();
    while (pending.size() > maxParagraphs || pendingCharacters > maxRefreshCharacters) {
        if (!skipOldestSkippable())
            break;
    }
    if (sinceFlush.elapsed() >= refreshIntervalMs) {
        if (!flushPosted) {
            flushPosted = true;
            QTimer::singleShot(settleMs, this, &ParagraphLog::flush);
        }
    } else if (!fallback.isActive()) {
        fallback.start();
    }
}

// Skips the oldest queued paragraph that may be skipped, but never the newest
// one; false when there is none. Skipped paragraphs leave a marker with their
// count in their place, one for each run of them.
bool ParagraphLog::skipOldestSkippable()
{
    for (int i = 0; i < pending.size() - 1; ++i) {
        if (pending.at(i).importance != Skippable)
            continue;
        pendingCharacters -= pending.at(i).text.size();
        int marker = i;
        if (i > 0 && pending.at(i - 1).skipped > 0) {
            pending.removeAt(i);
            marker = i - 1;
        } else {
            pending[i].importance = Kept;
        }
        Paragraph &skipped = pending[marker];
        pendingCharacters -= marker == i ? 0 : skipped.text.size();
        skipped.text = QStringLiteral("\u2026(+%1 \u00b6)").arg(++skipped.skipped);
        pendingCharacters += skipped.text.size();
        return true;
    }
    return false;
}

void ParagraphLog::flush()
{
    fallback.stop();
    flushPosted = false;
    if (pending.isEmpty())
        return;
    sinceFlush.restart();
    show();
    pending.clear();
    pendingCharacters = 0;
    trim();
}

// Adds each text as a paragraph at the end, as QTextEdit::append does, but as
// plain text (append would render text that looks like HTML) and with one
// layout and one scroll for the lot.
void ParagraphLog::show()
{
    QTextDocument *document = view->document();
    const bool following = view->textCursor().atEnd();
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    for (const Paragraph &paragraph : qAsConst(pending)) {
        if (!document->isEmpty())
            cursor.insertBlock();
        cursor.insertText(paragraph.text);
    }
    cursor.endEditBlock();
    if (following)
        view->verticalScrollBar()->setValue(view->verticalScrollBar()->maximum());
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
    fallback.stop();
    pending.clear();
    pendingCharacters = 0;
    view->clear();
}

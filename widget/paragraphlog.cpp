#include "paragraphlog.h"

#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

void ParagraphLog::append(QTextEdit *view, const QString &text)
{
    view->append(text);

    QTextDocument *document = view->document();
    if (document->blockCount() <= maxParagraphs)
        return;

    const int oldest = document->blockCount() - maxParagraphs + trimBatch;
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::Start);
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, oldest);
    cursor.removeSelectedText();
}

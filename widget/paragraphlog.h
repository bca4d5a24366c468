#ifndef PARAGRAPHLOG_H
#define PARAGRAPHLOG_H

class QString;
class QTextEdit;

// Appends paragraphs to a text view and keeps it to the newest few thousand.
// QTextDocument::maximumBlockCount would do the same but re-lays out the whole
// document on every append once the limit is reached; dropping the oldest
// paragraphs in batches keeps the cost of an append flat.
namespace ParagraphLog {

constexpr int maxParagraphs = 5000;
constexpr int trimBatch = 250;

void append(QTextEdit *view, const QString &text);

} // namespace ParagraphLog

#endif // PARAGRAPHLOG_H

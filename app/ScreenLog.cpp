#include "ScreenLog.h"

#include <QFontDatabase>
#include <QSaveFile>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <cmath>

TScreenLog::TScreenLog(QWidget *parent) : QPlainTextEdit(parent)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(8);
    setFont(font);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The document keeps no undo history: a busy log would otherwise hold every cut text.
    setUndoRedoEnabled(false);
    SetWrapLines(true);
}

void TScreenLog::AppendText(const QString &text)
{
    QString lines = text;
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    // appendPlainText starts a new paragraph and scrolls to the end when the view was at it.
    appendPlainText(lines);
}

int TScreenLog::LineCount() const
{
    // An empty view still holds one empty block; it counts as no line.
    const QTextDocument *doc = document();
    if (doc->blockCount() == 1 && doc->firstBlock().length() <= 1)
        return 0;
    return doc->blockCount();
}

namespace {

// The length of the text with every line break counted as the two characters CR LF.
qint64 TextLengthWithCrLf(const QTextDocument *doc)
{
    return qint64(doc->characterCount() - 1) + (doc->blockCount() - 1);
}

// The document position that lies cut characters into the text, counting each line break as
// two characters. A cut that ends between CR and LF ends at the line break.
int PositionAfterCrLfChars(const QTextDocument *doc, qint64 cut)
{
    for (QTextBlock block = doc->firstBlock(); block.isValid(); block = block.next()) {
        const qint64 lineLen = block.length() - 1; // without the paragraph separator
        if (cut <= lineLen)
            return block.position() + int(cut);
        cut -= lineLen + 2;
        if (cut <= 0)
            return block.position() + int(lineLen) + 1;
    }
    return doc->characterCount() - 1;
}

} // namespace

bool TScreenLog::Trim(int limit)
{
    if (limit < 1)
        limit = 1;
    QTextDocument *doc = document();
    if (LineCount() <= std::lround(limit * 1.1))
        return false;

    setUpdatesEnabled(false);
    QTextCursor cursor(doc);
    cursor.beginEditBlock();
    // Each pass cuts the share of characters that matches the share of surplus lines, but at
    // least a tenth of the text, so the loop ends after a few passes however long the lines.
    while (LineCount() > limit) {
        const double ratio = double(LineCount()) / limit;
        const qint64 len = TextLengthWithCrLf(doc);
        qint64 cut = len - std::llround(len / ratio);
        if (cut < len / 10)
            cut = len / 10;
        if (cut <= 0)
            break;
        cursor.setPosition(0);
        cursor.setPosition(PositionAfterCrLfChars(doc, cut), QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    // The last cut usually falls inside a line; what is left of it goes too.
    cursor.setPosition(0);
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
    if (!cursor.hasSelection())
        cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    cursor.endEditBlock();
    setUpdatesEnabled(true);
    return true;
}

void TScreenLog::SetWrapLines(bool wrap)
{
    setLineWrapMode(wrap ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
    setHorizontalScrollBarPolicy(wrap ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAlwaysOn);
}

bool TScreenLog::SaveToFile(const QString &path) const
{
    QString text = toPlainText();
    if (!text.isEmpty()) {
        text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
        text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
        text += QStringLiteral("\r\n");
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(text.toUtf8());
    return file.commit();
}

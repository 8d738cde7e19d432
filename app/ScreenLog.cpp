#include "ScreenLog.h"

#include <QFontDatabase>
#include <QSaveFile>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
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

namespace {

// Properties of the view's formats that let Bytes() give back what AppendBytes was given.
constexpr int SignByteProperty = QTextFormat::UserProperty + 1;  // char format: the byte
constexpr int LoneLineFeedProperty = QTextFormat::UserProperty + 2; // block format

// The length of the well-formed UTF-8 sequence at the start of s (1 to 4) and its code point,
// or 0 when s does not start with one: stray continuation bytes, cut sequences, overlong forms,
// surrogates and values above U+10FFFF are not well formed.
int Utf8SequenceLength(std::string_view s, char32_t &cp)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char first = byte(0);
    if (first < 0x80) {
        cp = first;
        return 1;
    }
    int len = 0;
    char32_t least = 0;
    if (first >= 0xC2 && first <= 0xDF)
        len = 2, cp = first & 0x1F, least = 0x80;
    else if (first >= 0xE0 && first <= 0xEF)
        len = 3, cp = first & 0x0F, least = 0x800;
    else if (first >= 0xF0 && first <= 0xF4)
        len = 4, cp = first & 0x07, least = 0x10000;
    else
        return 0;
    if (s.size() < size_t(len))
        return 0;
    for (int i = 1; i < len; ++i) {
        if ((byte(size_t(i)) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (byte(size_t(i)) & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

// Characters the view would not show, or would take as its own: control characters (the tab
// aside; line ends are handled before), the line and paragraph separators, and the
// noncharacters the text document uses inside.
bool ShownAsSign(char32_t cp)
{
    return (cp < 0x20 && cp != '\t') || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 ||
           cp == 0x2029 || (cp >= 0xFDD0 && cp <= 0xFDEF) || (cp & 0xFFFE) == 0xFFFE ||
           cp == 0xFFFC;
}

QString SignText(unsigned char byte)
{
    return QStringLiteral("<%1>").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
}

QTextCharFormat SignFormat(unsigned char byte)
{
    QTextCharFormat format;
    format.setProperty(SignByteProperty, int(byte));
    format.setForeground(Qt::white);
    format.setBackground(Qt::darkGray);
    return format;
}

// Appends the bytes of one view fragment: its signs' bytes, or its text as UTF-8. A sign the
// user has edited no longer reads as its byte and is taken as the text it shows.
void AppendFragmentBytes(QByteArray &out, const QTextFragment &fragment)
{
    const QString text = fragment.text();
    const QTextCharFormat format = fragment.charFormat();
    if (format.hasProperty(SignByteProperty)) {
        const auto byte = static_cast<unsigned char>(format.intProperty(SignByteProperty));
        const QString sign = SignText(byte);
        if (text.size() % sign.size() == 0 && text == sign.repeated(text.size() / sign.size())) {
            out.append(text.size() / sign.size(), char(byte));
            return;
        }
    }
    out += text.toUtf8();
}

} // namespace

void TScreenLog::AppendText(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    AppendBytes(std::string_view(bytes.constData(), size_t(bytes.size())));
}

void TScreenLog::AppendBytes(std::string_view bytes)
{
    // As appendPlainText does: a view scrolled to its end stays at the end.
    QScrollBar *bar = verticalScrollBar();
    const bool atBottom = bar->value() >= bar->maximum();
    QTextDocument *doc = document();
    QTextCursor cursor(doc);
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    const QTextCharFormat plain;
    if (!doc->isEmpty())
        cursor.insertBlock(QTextBlockFormat(), plain);

    // Runs of shown characters (CR LF pairs included) go in as one text each.
    size_t run = 0, at = 0;
    const auto insertRun = [&] {
        if (at == run)
            return;
        QString text = QString::fromUtf8(bytes.data() + run, qsizetype(at - run));
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        cursor.insertText(text, plain);
    };
    while (at < bytes.size()) {
        const char c = bytes[at];
        if (c == '\r' && at + 1 < bytes.size() && bytes[at + 1] == '\n') {
            at += 2;
            continue;
        }
        if (c == '\n') {
            insertRun();
            QTextBlockFormat lone;
            lone.setProperty(LoneLineFeedProperty, true);
            cursor.setBlockFormat(lone);
            cursor.insertBlock(QTextBlockFormat(), plain);
            run = ++at;
            continue;
        }
        char32_t cp = 0;
        const int len = Utf8SequenceLength(bytes.substr(at), cp);
        if (len > 0 && !ShownAsSign(cp)) {
            at += size_t(len);
            continue;
        }
        insertRun();
        for (int i = 0; i < std::max(len, 1); ++i, ++at) {
            const auto byte = static_cast<unsigned char>(bytes[at]);
            cursor.insertText(SignText(byte), SignFormat(byte));
        }
        run = at;
    }
    insertRun();
    cursor.endEditBlock();
    if (atBottom)
        bar->setValue(bar->maximum());
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

QByteArray TScreenLog::Bytes() const
{
    QByteArray out;
    if (LineCount() == 0)
        return out;
    for (QTextBlock block = document()->firstBlock(); block.isValid(); block = block.next()) {
        for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it)
            AppendFragmentBytes(out, it.fragment());
        const bool lone = block.next().isValid() &&
                          block.blockFormat().boolProperty(LoneLineFeedProperty);
        out += lone ? "\n" : "\r\n";
    }
    return out;
}

bool TScreenLog::SaveToFile(const QString &path) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(Bytes());
    return file.commit();
}

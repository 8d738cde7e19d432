#include "app/window/ScreenLog.h"

#include <QFontDatabase>
#include <QSaveFile>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextFormat>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <cmath>
#include <vector>

TScreenLog::TScreenLog(QWidget* parent) : QPlainTextEdit(parent)
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

// The block format property of a line that follows a lone LF (the others follow a CR LF). It
// sits on the next line because a block takes its format when it is made.
constexpr int AfterLoneLineFeedProperty = QTextFormat::UserProperty + 1;

// A sign is the byte's two hex digits between single guillemets: "‹E9›". The guillemets never
// stand in the view for themselves (a text that holds one shows its bytes as signs), so the
// text alone says which byte each sign stands for.
constexpr char16_t SignOpen = u'\u2039';
constexpr char16_t SignClose = u'\u203A';

// The length of the well-formed UTF-8 sequence at the start of s (1 to 4) and its code point,
// or 0 when s does not start with one: stray continuation bytes, cut sequences, overlong forms,
// surrogates and values above U+10FFFF are not well formed.
int Utf8SequenceLength(std::string_view s, char32_t& cp)
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
// aside; line ends are handled before), the line and paragraph separators, the noncharacters
// the text document uses inside, and the two guillemets of the signs.
bool ShownAsSign(char32_t cp)
{
    return (cp < 0x20 && cp != '\t') || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 ||
        cp == 0x2029 || (cp >= 0xFDD0 && cp <= 0xFDEF) || (cp & 0xFFFE) == 0xFFFE || cp == 0xFFFC ||
        cp == SignOpen || cp == SignClose;
}

void AppendSign(QString& text, unsigned char byte)
{
    static constexpr char16_t Hex[] = u"0123456789ABCDEF";
    const char16_t sign[] = {SignOpen, Hex[byte >> 4], Hex[byte & 0xF], SignClose};
    text.append(reinterpret_cast<const QChar*>(sign), 4);
}

int HexValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

// Appends the bytes of one line of the view: its signs' bytes, everything else as UTF-8. A
// guillemet that does not open a whole sign (the user may edit the view) is taken as text.
void AppendLineBytes(QByteArray& out, const QString& line)
{
    qsizetype plain = 0;
    for (qsizetype i = 0; i + 3 < line.size(); ++i) {
        if (line[i] != QChar(SignOpen) || line[i + 3] != QChar(SignClose))
            continue;
        const int high = HexValue(line[i + 1]), low = HexValue(line[i + 2]);
        if (high < 0 || low < 0)
            continue;
        out += QStringView(line).mid(plain, i - plain).toUtf8();
        out += char(high * 16 + low);
        plain = i + 4;
        i += 3;
    }
    out += QStringView(line).mid(plain).toUtf8();
}

// The lines the view shows for bytes, and for each line whether a lone LF ended it.
QList<QString> ShownLines(std::string_view bytes, std::vector<bool>& endsLone)
{
    QList<QString> lines(1);
    size_t run = 0, at = 0;
    // Runs of well-formed UTF-8 that shows as itself are converted in one go.
    const auto addRun = [&] {
        if (at > run)
            lines.back() += QString::fromUtf8(bytes.data() + run, qsizetype(at - run));
    };
    while (at < bytes.size()) {
        const char c = bytes[at];
        const bool crLf = c == '\r' && at + 1 < bytes.size() && bytes[at + 1] == '\n';
        if (crLf || c == '\n') {
            addRun();
            endsLone.push_back(!crLf);
            lines.emplace_back();
            at += crLf ? 2 : 1;
            run = at;
            continue;
        }
        char32_t cp = 0;
        const int len = Utf8SequenceLength(bytes.substr(at), cp);
        if (len > 0 && !ShownAsSign(cp)) {
            at += size_t(len);
            continue;
        }
        addRun();
        for (int i = 0; i < std::max(len, 1); ++i, ++at)
            AppendSign(lines.back(), static_cast<unsigned char>(bytes[at]));
        run = at;
    }
    addRun();
    endsLone.push_back(false);
    return lines;
}

}  // namespace

void TScreenLog::AppendText(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    AppendBytes(std::string_view(bytes.constData(), size_t(bytes.size())));
}

void TScreenLog::AppendBytes(std::string_view bytes)
{
    std::vector<bool> endsLone;
    const QList<QString> lines = ShownLines(bytes, endsLone);
    // As appendPlainText does: a view scrolled to its end stays at the end.
    QScrollBar* bar = verticalScrollBar();
    const bool atBottom = bar->value() >= bar->maximum();
    QTextDocument* doc = document();
    QTextCursor cursor(doc);
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    const QTextBlockFormat afterCrLf;
    QTextBlockFormat afterLone;
    afterLone.setProperty(AfterLoneLineFeedProperty, true);
    const QTextCharFormat plain;
    // Every line is a block of its own, made with the format that says how the line before
    // it ended; the block before the first one ends with the CR LF between two records.
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const bool lone = i > 0 && endsLone[size_t(i - 1)];
        if (i == 0 && doc->isEmpty())
            cursor.setBlockFormat(afterCrLf);
        else
            cursor.insertBlock(lone ? afterLone : afterCrLf, plain);
        if (!lines[i].isEmpty())
            cursor.insertText(lines[i], plain);
    }
    cursor.endEditBlock();
    if (atBottom)
        bar->setValue(bar->maximum());
}

int TScreenLog::LineCount() const
{
    // An empty view still holds one empty block; it counts as no line.
    const QTextDocument* doc = document();
    if (doc->blockCount() == 1 && doc->firstBlock().length() <= 1)
        return 0;
    return doc->blockCount();
}

namespace {

// The length of the text with every line break counted as the two characters CR LF.
qint64 TextLengthWithCrLf(const QTextDocument* doc)
{
    return qint64(doc->characterCount() - 1) + (doc->blockCount() - 1);
}

// The document position that lies cut characters into the text, counting each line break as
// two characters. A cut that ends between CR and LF ends at the line break.
int PositionAfterCrLfChars(const QTextDocument* doc, qint64 cut)
{
    for (QTextBlock block = doc->firstBlock(); block.isValid(); block = block.next()) {
        const qint64 lineLen = block.length() - 1;  // without the paragraph separator
        if (cut <= lineLen)
            return block.position() + int(cut);
        cut -= lineLen + 2;
        if (cut <= 0)
            return block.position() + int(lineLen) + 1;
    }
    return doc->characterCount() - 1;
}

}  // namespace

bool TScreenLog::Trim(int limit)
{
    if (limit < 1)
        limit = 1;
    QTextDocument* doc = document();
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
        AppendLineBytes(out, block.text());
        const QTextBlock next = block.next();
        const bool lone =
            next.isValid() && next.blockFormat().boolProperty(AfterLoneLineFeedProperty);
        out += lone ? "\n" : "\r\n";
    }
    return out;
}

bool TScreenLog::SaveToFile(const QString& path) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(Bytes());
    return file.commit();
}

#include "app/connections/StreamView.h"

#include "engine/texts/DumpFormats.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <iterator>

namespace {

const QColor ClientColour(160, 0, 0);
const QColor ServerColour(0, 0, 160);

QString Endpoint(const TEndpoint& e)
{
    return QString::fromStdString(e.Text());
}

// The bytes as Latin-1 text; control bytes other than line breaks and tabs as '.'.
QString AsText(const std::string& bytes)
{
    QString out;
    out.reserve(qsizetype(bytes.size()));
    for (unsigned char c : bytes)
        out += (c >= 0x20 || c == '\n' || c == '\t') && c != 0x7F ? QChar(c) : QChar('.');
    return out;
}

}  // namespace

TStreamView::TStreamView(const TConnectionSnapshot& connection,
                         std::shared_ptr<TConnectionRecord> record, bool capturing, QWidget* parent)
    : QDialog(parent), Record(std::move(record))
{
    setWindowTitle(QStringLiteral("Stream - Channel %1: %2 -> %3")
                       .arg(connection.Channel)
                       .arg(Endpoint(connection.Client), Endpoint(connection.Target)));
    resize(760, 520);
    auto* layout = new QVBoxLayout(this);
    Info = new QLabel(this);
    Info->setWordWrap(true);
    layout->addWidget(Info);
    Text = new QTextEdit(this);
    Text->setReadOnly(true);
    Text->setLineWrapMode(QTextEdit::NoWrap);
    Text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // Lines beyond these go from the top, so a long-running connection's text stays bounded.
    Text->document()->setMaximumBlockCount(100000);
    layout->addWidget(Text);

    auto* tools = new QHBoxLayout;
    HexMode = new QCheckBox(QStringLiteral("&Hex"), this);
    Search = new QLineEdit(this);
    Search->setPlaceholderText(QStringLiteral("Search"));
    SearchHex = new QCheckBox(QStringLiteral("He&x bytes"), this);
    auto* find = new QPushButton(QStringLiteral("&Find"), this);
    auto* saveCS = new QPushButton(QStringLiteral("Save C->&S..."), this);
    auto* saveSC = new QPushButton(QStringLiteral("Save S->&C..."), this);
    auto* saveBoth = new QPushButton(QStringLiteral("Save &Both..."), this);
    for (QWidget* w : {static_cast<QWidget*>(HexMode), static_cast<QWidget*>(Search),
                       static_cast<QWidget*>(SearchHex), static_cast<QWidget*>(find),
                       static_cast<QWidget*>(saveCS), static_cast<QWidget*>(saveSC),
                       static_cast<QWidget*>(saveBoth)})
        tools->addWidget(w);
    layout->addLayout(tools);
    connect(HexMode, &QCheckBox::toggled, this, &TStreamView::Render);
    connect(find, &QPushButton::clicked, this, &TStreamView::FindNext);
    connect(Search, &QLineEdit::returnPressed, this, &TStreamView::FindNext);
    connect(saveCS, &QPushButton::clicked, this, [this] { AskAndSave(ClientToServer); });
    connect(saveSC, &QPushButton::clicked, this, [this] { AskAndSave(ServerToClient); });
    connect(saveBoth, &QPushButton::clicked, this, [this] { AskAndSave(Both); });

    Info->setText(QStringLiteral("Client %1 to target %2: client to server in red, server to "
                                 "client in blue.")
                      .arg(Endpoint(connection.Client), Endpoint(connection.Target)));
    if (!capturing && (!Record || Record->Capture().Held() == 0))
        Info->setText(
            QStringLiteral(
                "Channel %1 does not keep the bytes of its connections. To see them, open the "
                "channel's Channel Settings (the \"...\" button at the end of its row on the "
                "Status "
                "tab, or the row's context menu) and check \"Keep the bytes of the connections\" "
                "on "
                "the Capture page; what the channel reads from then on is shown.")
                .arg(connection.Channel));
    Timer = new QTimer(this);
    Timer->setInterval(250);
    connect(Timer, &QTimer::timeout, this, &TStreamView::Poll);
    Timer->start();
    Poll();
}

void TStreamView::Poll()
{
    if (!Record)
        return;
    TCaptureCopy copy = Record->Capture().CopyFrom(Next);
    Next = copy.NextIndex;
    std::size_t first = 0;  // the pieces before it are not drawn: too many bytes for one refresh
    for (std::size_t budget = DrawBudget(), i = copy.Pieces.size(); i > 0; --i) {
        if (copy.Pieces[i - 1].Bytes.size() > budget) {
            first = i;
            break;
        }
        budget -= copy.Pieces[i - 1].Bytes.size();
    }
    if (first > 0) {
        std::size_t bytes = 0;
        for (std::size_t i = 0; i < first; ++i)
            bytes += copy.Pieces[i].Bytes.size();
        NoteNotDrawn(bytes, first);
    }
    for (std::size_t i = 0; i < copy.Pieces.size(); ++i) {
        if (i >= first)
            Append(copy.Pieces[i]);
        Keep(std::move(copy.Pieces[i]));
    }
    if (copy.DroppedCS || copy.DroppedSC)
        Info->setText(
            QStringLiteral("Dropped to stay within the capture memory: %1 bytes client to "
                           "server, %2 bytes server to client (the oldest ones).")
                .arg(copy.DroppedCS)
                .arg(copy.DroppedSC));
}

std::size_t TStreamView::DrawBudget() const
{
    // What one refresh draws at most, so that a fast connection never holds the window up:
    // laying out text costs far more than taking the bytes (binary bytes most of all), and a
    // hex line shows 16 bytes in about 80 characters.
    return HexMode->isChecked() ? 2 * 1024 : 8 * 1024;
}

void TStreamView::Keep(TCapturePiece piece)
{
    // The view keeps no more than the capture does: the newest bytes of each direction.
    const std::size_t limit = Record->Capture().Limit();
    TSide& side = piece.Direction == TRelayDirection::ClientToServer ? CS : SC;
    side.Held += piece.Bytes.size();
    side.Pieces.push_back(std::move(piece));
    while (side.Held > limit) {
        side.Held -= side.Pieces.front().Bytes.size();
        side.Pieces.pop_front();
    }
}

std::vector<const TCapturePiece*> TStreamView::Ordered() const
{
    std::vector<const TCapturePiece*> out;
    out.reserve(CS.Pieces.size() + SC.Pieces.size());
    auto cs = CS.Pieces.begin();
    auto sc = SC.Pieces.begin();
    while (cs != CS.Pieces.end() || sc != SC.Pieces.end()) {
        const bool takeCS =
            sc == SC.Pieces.end() || (cs != CS.Pieces.end() && cs->Index < sc->Index);
        out.push_back(takeCS ? &*cs++ : &*sc++);
    }
    return out;
}

void TStreamView::NoteNotDrawn(std::size_t bytes, std::size_t pieces)
{
    QTextCursor cursor(Text->document());
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat format;
    format.setFontItalic(true);
    cursor.insertText(QStringLiteral("(%1 bytes in %2 pieces not drawn here; the Save buttons "
                                     "write them)\n")
                          .arg(bytes)
                          .arg(pieces),
                      format);
}

void TStreamView::Append(const TCapturePiece& piece)
{
    const bool up = piece.Direction == TRelayDirection::ClientToServer;
    QTextCursor cursor(Text->document());
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat format;
    format.setForeground(up ? ClientColour : ServerColour);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(piece.Time.time_since_epoch())
            .count();
    const QString head =
        QStringLiteral("%1 %2 %3 bytes\n")
            .arg(QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("hh:mm:ss.zzz")),
                 up ? QStringLiteral("C->S") : QStringLiteral("S->C"))
            .arg(piece.Bytes.size());
    format.setFontWeight(QFont::Bold);
    cursor.insertText(head, format);
    format.setFontWeight(QFont::Normal);
    const QString body = HexMode->isChecked()
        ? QString::fromStdString(BuildDumpText(4, piece.Direction, piece.Bytes))
              .replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
        : AsText(piece.Bytes) + QLatin1Char('\n');
    cursor.insertText(body, format);
}

void TStreamView::Render()
{
    Text->clear();
    // The newest pieces that fit one refresh's budget; one line for the older ones.
    const std::vector<const TCapturePiece*> pieces = Ordered();
    std::size_t first = pieces.size();
    for (std::size_t budget = DrawBudget(); first > 0 && pieces[first - 1]->Bytes.size() <= budget;
         --first)
        budget -= pieces[first - 1]->Bytes.size();
    if (first > 0) {
        std::size_t bytes = 0;
        for (std::size_t i = 0; i < first; ++i)
            bytes += pieces[i]->Bytes.size();
        NoteNotDrawn(bytes, first);
    }
    for (std::size_t i = first; i < pieces.size(); ++i)
        Append(*pieces[i]);
}

std::string TStreamView::Bytes(int which) const
{
    if (which == ClientToServer)
        return JoinedBytes(CS.Pieces, TRelayDirection::ClientToServer);
    if (which == ServerToClient)
        return JoinedBytes(SC.Pieces, TRelayDirection::ServerToClient);
    std::string out;
    for (const TCapturePiece* piece : Ordered())
        out += piece->Bytes;
    return out;
}

bool TStreamView::SaveTo(int which, const QString& path) const
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const std::string bytes = Bytes(which);
    return file.write(bytes.data(), qint64(bytes.size())) == qint64(bytes.size());
}

void TStreamView::AskAndSave(int which)
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save raw bytes"));
    if (!path.isEmpty() && !SaveTo(which, path))
        Info->setText(QStringLiteral("Cannot write %1").arg(path));
}

bool TStreamView::FindNext()
{
    QString needle = Search->text();
    if (SearchHex->isChecked()) {
        const QByteArray bytes = QByteArray::fromHex(needle.toLatin1());
        needle = HexMode->isChecked() ? QString::fromLatin1(bytes.toHex(' ')).toUpper()
                                      : AsText(bytes.toStdString());
    }
    if (needle.isEmpty())
        return false;
    // Bytes match exactly; text ignores case.
    const QTextDocument::FindFlags flags =
        SearchHex->isChecked() ? QTextDocument::FindCaseSensitively : QTextDocument::FindFlags();
    if (Text->find(needle, flags))
        return true;
    Text->moveCursor(QTextCursor::Start);  // wrap around once
    return Text->find(needle, flags);
}

// The stream view of one connection: its bytes in the order they crossed, as pieces with their
// read time and direction (client to server in red, server to client in blue), as text or as
// the hex dump of data mode "4: Hex", growing while the connection runs. Search (text, or hex
// bytes such as "0d 0a"), copy, and save the client-to-server bytes, the server-to-client
// bytes or both interleaved as raw files. Without a capture of the channel it says so and how
// to turn it on. It keeps no more bytes than the capture does, and one refresh draws at most
// 8 KiB (2 KiB as hex): a fast connection's older pieces are then kept for saving but stand
// as one line in the text.
// Main thread only.
#pragma once

#include "engine/connections/ConnectionRecord.h"

#include <QDialog>

#include <deque>
#include <memory>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QTextEdit;
class QTimer;

class TStreamView : public QDialog {
    Q_OBJECT
public:
    // ARecord may be nullptr (the connection is gone from the list).
    TStreamView(const TConnectionSnapshot& connection, std::shared_ptr<TConnectionRecord> record,
                bool capturing, QWidget* parent = nullptr);

    // Takes the pieces captured since the last call. Also run by a timer while shown.
    void Poll();
    // The raw bytes as they would be saved: client to server, server to client, or both.
    std::string Bytes(int which) const;
    // Saves Bytes(which) to APath; false when the file cannot be written.
    bool SaveTo(int which, const QString& path) const;
    // Finds the next occurrence of the search text (or hex bytes), selects it; false if none.
    bool FindNext();

    QTextEdit* Text = nullptr;
    QCheckBox* HexMode = nullptr;
    QLineEdit* Search = nullptr;
    QCheckBox* SearchHex = nullptr;
    QLabel* Info = nullptr;
    enum { ClientToServer = 0, ServerToClient = 1, Both = 2 };

private:
    void Render();
    void Append(const TCapturePiece& piece);
    // Keeps a piece for saving and redrawing, dropping the oldest of a direction over the
    // capture's own limit.
    void Keep(TCapturePiece piece);
    // The most bytes one refresh draws.
    std::size_t DrawBudget() const;
    // One line in place of pieces that are kept but not drawn.
    void NoteNotDrawn(std::size_t bytes, std::size_t pieces);
    // The kept pieces of both directions in the order they were read.
    std::vector<const TCapturePiece*> Ordered() const;
    void AskAndSave(int which);

    struct TSide {
        std::deque<TCapturePiece> Pieces;
        std::size_t Held = 0;
    };
    std::shared_ptr<TConnectionRecord> Record;
    TSide CS;
    TSide SC;
    std::uint64_t Next = 0;
    QTimer* Timer = nullptr;
};

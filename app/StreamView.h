// The stream view of one connection: its bytes in the order they crossed, as pieces with their
// read time and direction (client to server in red, server to client in blue), as text or as
// the hex dump of data mode "4: Hex", growing while the connection runs. Search (text, or hex
// bytes such as "0d 0a"), copy, and save the client-to-server bytes, the server-to-client
// bytes or both interleaved as raw files. Without a capture of the channel it says so and how
// to turn it on.
// Main thread only.
#pragma once

#include "ConnectionRecord.h"

#include <QDialog>

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
    TStreamView(const TConnectionSnapshot &connection, std::shared_ptr<TConnectionRecord> record,
                bool capturing, QWidget *parent = nullptr);

    // Takes the pieces captured since the last call. Also run by a timer while shown.
    void Poll();
    // The raw bytes as they would be saved: client to server, server to client, or both.
    std::string Bytes(int which) const;
    // Saves Bytes(which) to APath; false when the file cannot be written.
    bool SaveTo(int which, const QString &path) const;
    // Finds the next occurrence of the search text (or hex bytes), selects it; false if none.
    bool FindNext();

    QTextEdit *Text = nullptr;
    QCheckBox *HexMode = nullptr;
    QLineEdit *Search = nullptr;
    QCheckBox *SearchHex = nullptr;
    QLabel *Info = nullptr;
    enum { ClientToServer = 0, ServerToClient = 1, Both = 2 };

private:
    void Render();
    void Append(const TCapturePiece &piece);
    void AskAndSave(int which);

    std::shared_ptr<TConnectionRecord> Record;
    std::vector<TCapturePiece> Pieces;
    std::uint64_t Next = 0;
    TCaptureCopy Last;
    QTimer *Timer = nullptr;
};

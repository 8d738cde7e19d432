// TScreenLog: the screen log view on the "&Logging" tab. A plain-text view in the fixed-pitch
// font at 8 pt that appends text in one operation per call, keeps itself near a line limit by
// cutting characters from the top in large, rare steps, wraps or does not wrap its lines, and
// saves its text with CR LF line ends.
//
// Log texts are bytes, and the daily file receives them unchanged. The view shows well-formed
// UTF-8 as its characters and every other byte (and every control character but the tab) as a
// sign, its hex value between single guillemets: "‹E9›"; a line feed without a carriage return
// before it breaks the line and is remembered as such. So "Save to file" writes back exactly the bytes
// the daily file holds for the same lines.
// Called on the main thread only; other threads reach it through TLogRouter.
#pragma once

#include <QPlainTextEdit>

#include <string_view>

class TScreenLog : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TScreenLog(QWidget* parent = nullptr);

    // Appends the bytes as one or more lines (CR LF and LF inside them start new lines).
    void AppendBytes(std::string_view bytes);
    // The same for a text, taken as its UTF-8 bytes.
    void AppendText(const QString& text);
    // Cuts the view to at most limit lines when it holds more than 110 % of limit. Returns true
    // when it cut. A limit below 1 counts as 1.
    bool Trim(int limit);
    int LineCount() const;
    void SetWrapLines(bool wrap);
    // The bytes of every line, each ended as it came (CR LF, or LF alone), the last by CR LF.
    QByteArray Bytes() const;
    // Writes Bytes() to path, replacing the file. False when it cannot write.
    bool SaveToFile(const QString& path) const;
};

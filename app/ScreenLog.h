// TScreenLog: the screen log view on the "&Logging" tab. A plain-text view in the fixed-pitch
// font at 8 pt that appends text in one operation per call, keeps itself near a line limit by
// cutting characters from the top in large, rare steps, wraps or does not wrap its lines, and
// saves its text with CR LF line ends.
// Called on the main thread only; other threads reach it through TLogRouter.
#pragma once

#include <QPlainTextEdit>

class TScreenLog : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TScreenLog(QWidget *parent = nullptr);

    // Appends text as one or more lines (CR LF and LF inside the text start new lines).
    void AppendText(const QString &text);
    // Cuts the view to at most limit lines when it holds more than 110 % of limit. Returns true
    // when it cut. A limit below 1 counts as 1.
    bool Trim(int limit);
    int LineCount() const;
    void SetWrapLines(bool wrap);
    // Writes every line with CR LF to path, replacing the file. False when it cannot write.
    bool SaveToFile(const QString &path) const;
};

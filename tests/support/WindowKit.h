// The window's part of the test kit, for the tests that run the real window in their process:
// waits that keep the Qt event loop running (the engine hands its log lines to the main thread
// and waits for it), scripted answers to the window's questions, a sandbox for the settings file
// and the daily log, and a client that reads without blocking the event loop. Main thread only.
#pragma once

#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <string>

#include "support/Files.h"
#include "support/Loopback.h"
#include "app/window/UserPrompts.h"

namespace testkit {

// Waits until ADone holds or ATimeoutMs passed, running the event loop meanwhile.
bool WaitFor(const std::function<bool()>& ADone, int ATimeoutMs = 10000);

// Records every question and message; answers questions from a queue (Yes when it is empty).
class TScriptedPrompts : public TUserPrompts {
public:
    void SetBoxTitle(const QString& ATitle) override { BoxTitle = ATitle; }
    bool AskYesNo(QWidget*, const QString& AText) override;
    void ShowMessage(QWidget*, const QString& AText) override { Messages << AText; }
    QString AskSaveFileName(QWidget*, const QString& AFolder, const QString& ASuffix) override;

    std::deque<bool> Answers;
    QStringList Questions;
    QStringList Messages;
    QString SaveName;  // what the save dialog "returns"
    QString SaveFolder, SaveSuffix;
    QString BoxTitle;
};

// A temporary folder that holds the settings file (Trabix.ini) and is the working directory
// (the daily log goes there) while the object lives; both are restored at its end.
class TSandbox {
public:
    TSandbox();
    ~TSandbox();
    TSandbox(const TSandbox&) = delete;
    TSandbox& operator=(const TSandbox&) = delete;

    QString Path() const { return QString::fromStdString(FDir.Path()); }
    QString IniPath() const;
    void WriteIni(const QString& AText) const;
    QString ReadIni() const;
    // The content of today's daily log file ("" when there is none).
    QString TodaysLog() const;

private:
    TTempDir FDir;
    QString FOldCwd;
};

// A client socket connected to 127.0.0.1:APort (or refused); it reads while the event loop runs.
class TClient {
public:
    explicit TClient(int APort) : FSocket(TryConnect(APort)) {}
    bool Send(const std::string& AData) { return SendAll(FSocket.Get(), AData); }
    // Waits (event loop running) until AMax bytes came or the deadline passed; returns at most AMax.
    std::string Receive(std::size_t AMax, int ATimeoutMs = 10000);
    void Close() { FSocket.Reset(); }

private:
    TFd FSocket;
    std::string FBuffer;
};

}  // namespace testkit

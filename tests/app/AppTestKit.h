// Helpers for the widget tests: answers for the window's questions, a temporary settings and
// log folder, and a loopback target server on plain POSIX sockets. Every socket binds
// 127.0.0.1 port 0; every wait has a deadline and keeps the Qt event loop running, because the
// engine hands its log lines to the main thread and waits for it.
#pragma once

#include "UserPrompts.h"

#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <deque>
#include <functional>
#include <string>
#include <thread>

namespace apptest {

// Bounded wait that keeps the event loop (and so the synchronised log hand-over) running.
bool WaitFor(const std::function<bool()> &done, int timeoutMs = 10000);

// Records every question and message; answers questions from a queue (Yes when it is empty).
class TScriptedPrompts : public TUserPrompts {
public:
    void SetBoxTitle(const QString &title) override { BoxTitle = title; }
    bool AskYesNo(QWidget *, const QString &text) override;
    void ShowMessage(QWidget *, const QString &text) override { Messages << text; }
    QString AskSaveFileName(QWidget *, const QString &folder, const QString &suffix) override;

    std::deque<bool> Answers;
    QStringList Questions;
    QStringList Messages;
    QString SaveName; // what the save dialog "returns"
    QString SaveFolder, SaveSuffix;
    QString BoxTitle;
};

// A temporary folder that holds the settings file and is the working directory (the file log
// goes there) while the object lives.
class TSandbox {
public:
    TSandbox();
    ~TSandbox();
    QString Path() const { return Dir.path(); }
    QString IniPath() const;
    void WriteIni(const QString &text) const;
    QString ReadIni() const;
    // The content of today's daily log file ("" when there is none).
    QString TodaysLog() const;

private:
    QTemporaryDir Dir;
    QString OldCwd;
};

// The target of a mapping: answers every read with the same bytes in upper case, so a test
// sees that the bytes went through the target, not through an echo on the way.
class TUpperCaseServer {
public:
    TUpperCaseServer();
    ~TUpperCaseServer();
    int Port() const { return ListenPort; }

private:
    void Run();
    int ListenFd = -1;
    int ListenPort = 0;
    std::atomic<bool> Stop{false};
    std::thread Thread;
};

// A client socket connected to 127.0.0.1:port; reads without blocking the event loop.
class TClient {
public:
    explicit TClient(int port);
    ~TClient();
    bool Send(const std::string &data);
    // Waits (event loop running) until at least n bytes came or the deadline passed.
    std::string Receive(size_t n, int timeoutMs = 10000);
    void Close();

private:
    int Fd = -1;
    std::string Buffer;
};

// A port on 127.0.0.1 that no one else gets from the system while the tests run; the
// program under test can bind it, and until it does the port refuses connections.
int FreePort();

} // namespace apptest

// A main window on a sandboxed settings file, answering its questions through scripted
// prompts, with a loopback target that upper-cases what it gets.
#pragma once

#include "support/Backend.h"
#include "app/window/ChannelTable.h"
#include "app/window/MainPages.h"
#include "app/window/ScreenLog.h"
#include "support/WindowKit.h"
#include "app/pm_About.h"
#include "config/pm_config.h"
#include "app/pm_main.h"

#include <QLabel>
#include <QTextBlock>

#include <gtest/gtest.h>

#include <memory>

namespace apptest {

using namespace testkit;

struct TChannelSpec {
    int Channel = 1;
    int ListenPort = 0;
    int MapPort = 0;
    int DataMode = 1;
    QString BindIp = QStringLiteral("127.0.0.1");
    QString Remarks = QStringLiteral("echo");
    bool Map = true;
    bool Logging = true;
};

class TWindowTest : public ::testing::Test {
protected:
    // General settings lines plus one section per channel.
    static QString Ini(const QList<TChannelSpec>& channels, const QString& general = {});
    void Open(const QString& ini);
    void Open(const QList<TChannelSpec>& channels, const QString& general = {})
    {
        Open(Ini(channels, general));
    }
    // The view's lines so far (after taking in what was handed over).
    QStringList ScreenLines();
    bool ScreenHas(const QString& part);
    bool WaitScreenHas(const QString& part, int timeoutMs = 10000);
    QString Label(int channel) const;
    TChannelRow& Row(int channel) const;

    TSandbox Sandbox;
    TScriptedPrompts Prompts;
    TBackend Target{UpperCased};  // a target that upper-cases what it gets
    trabix::TSettings Settings;  // the window's, kept over a window made anew
    std::unique_ptr<TMainForm> Form;
    std::unique_ptr<TPMAboutDialog> About;
};

}  // namespace apptest

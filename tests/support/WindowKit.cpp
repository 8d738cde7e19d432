#include "support/WindowKit.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QTest>

#include <sys/socket.h>

#include "config/pm_config.h"

namespace testkit {

bool WaitFor(const std::function<bool()>& ADone, int ATimeoutMs)
{
    return QTest::qWaitFor(ADone, ATimeoutMs);
}

bool TScriptedPrompts::AskYesNo(QWidget*, const QString& AText)
{
    Questions << AText;
    if (Answers.empty())
        return true;
    const bool answer = Answers.front();
    Answers.pop_front();
    return answer;
}

QString TScriptedPrompts::AskSaveFileName(QWidget*, const QString& AFolder, const QString& ASuffix)
{
    SaveFolder = AFolder;
    SaveSuffix = ASuffix;
    return SaveName;
}

TSandbox::TSandbox() : FOldCwd(QDir::currentPath())
{
    QDir::setCurrent(Path());
    trabix::OverrideConfigFileName(IniPath().toStdString());
}

TSandbox::~TSandbox()
{
    trabix::OverrideConfigFileName("");
    QDir::setCurrent(FOldCwd);
}

QString TSandbox::IniPath() const
{
    return QString::fromStdString(FDir / "Trabix.ini");
}

void TSandbox::WriteIni(const QString& AText) const
{
    WriteFile(FDir / "Trabix.ini", AText.toStdString());
}

QString TSandbox::ReadIni() const
{
    return QString::fromStdString(ReadFile(FDir / "Trabix.ini"));
}

QString TSandbox::TodaysLog() const
{
    const QString name = QDate::currentDate().toString(QStringLiteral("yyyyMMdd")) + ".log";
    return QString::fromStdString(ReadFile(FDir / name.toStdString()));
}

std::string TClient::Receive(std::size_t AMax, int ATimeoutMs)
{
    WaitFor(
        [&] {
            char buf[65536];
            ssize_t got;
            while (FSocket.Get() >= 0 &&
                   (got = ::recv(FSocket.Get(), buf, sizeof buf, MSG_DONTWAIT)) > 0)
                FBuffer.append(buf, static_cast<std::size_t>(got));
            return FBuffer.size() >= AMax;
        },
        ATimeoutMs);
    std::string out = FBuffer.substr(0, std::min(AMax, FBuffer.size()));
    FBuffer.erase(0, out.size());
    return out;
}

}  // namespace testkit

#include "WindowFixture.h"

namespace apptest {

QString TWindowTest::Ini(const QList<TChannelSpec>& channels, const QString& general)
{
    // The first of two equal keys counts: the test's own general lines come first.
    QString text = QStringLiteral("[General]\n") + general +
        QStringLiteral("LogToScreen=1\nLogToFile=1\nLimitScreenLog=0\n"
                       "LogConnInfo=1\nLogDelayInfo=1\n");
    for (const TChannelSpec& c : channels)
        text += QStringLiteral(
                    "[MappedPort_%1]\nRemarks=%2\nBindIp=%3\nListenPort=%4\n"
                    "MapIp=127.0.0.1\nMapPort=%5\nMap=%6\nLogging=%7\nLogDataMode=%8\n")
                    .arg(c.Channel)
                    .arg(c.Remarks, c.BindIp)
                    .arg(c.ListenPort)
                    .arg(c.MapPort)
                    .arg(int(c.Map))
                    .arg(int(c.Logging))
                    .arg(c.DataMode);
    return text;
}

void TWindowTest::Open(const QString& ini)
{
    Sandbox.WriteIni(ini);
    Form = std::make_unique<TMainForm>(Prompts, Settings);
    About = std::make_unique<TPMAboutDialog>(Prompts, [](const std::string&) { return true; });
    Form->SetAboutDialog(About.get());
}

QStringList TWindowTest::ScreenLines()
{
    Form->FlushScreenLog();
    QStringList lines;
    for (QTextBlock b = Form->LoggingPage->View->document()->firstBlock(); b.isValid();
         b = b.next())
        lines << b.text();
    return lines;
}

bool TWindowTest::ScreenHas(const QString& part)
{
    for (const QString& line : ScreenLines())
        if (line.contains(part))
            return true;
    return false;
}

bool TWindowTest::WaitScreenHas(const QString& part, int timeoutMs)
{
    return WaitFor([&] { return ScreenHas(part); }, timeoutMs);
}

QString TWindowTest::Label(int channel) const
{
    return Form->StatusPage->Channels->Row(channel).Status->text();
}

TChannelRow& TWindowTest::Row(int channel) const
{
    return Form->StatusPage->Channels->Row(channel);
}

}  // namespace apptest

// The control API in the window: started after the mappings exist, stopped before they are
// released, and every change it makes shown at once.
#include "app/pm_main_api.h"

#include "app/api/ApiToken.h"
#include "app/api/ControlApi.h"
#include "app/pm_main.h"
#include "app/startup/ProgramStartup.h"
#include "app/window/MainPages.h"

#include "config/pm_config.h"

TChannelSet& TWindowApiFace::Channels()
{
    return Window.ChannelSet();
}

void TWindowApiFace::ChannelChanged(int channel)
{
    Window.ShowChannelChange(channel);
}

void TWindowApiFace::ChannelStateChanged(int)
{
    Window.UpdateStatusLights();
    Window.UpdateStatusLabels();
}

bool TWindowApiFace::SaveSettings()
{
    // What the user has typed and not yet applied is saved too, as the window's own save does.
    Window.ControlsToConfig();
    if (!Records.Save())
        return false;
    Window.ConfigChanged = false;
    Window.PortConfigChanged = false;
    return true;
}

void TWindowApiFace::Log(const std::string& text)
{
    Window.AddLogLine(ProgramLine(text));
}

void TMainForm::StartControlApi()
{
    ApiFace = std::make_unique<TWindowApiFace>(*this, Settings);
    Api = ::StartControlApi(*ApiFace, Settings.General().ApiListen);
    if (Api)
        LoggingPage->ShowPlaces(SettingsFileText, LogFolderText,
                                QString::fromStdString(ApiTokenPath()));
}

void TMainForm::StopControlApi()
{
    Api.reset();
}

void TMainForm::ShowChannelChange(int channel)
{
    // The row's handlers see a load: they mark, they do not copy the controls back.
    const bool loading = Loading;
    Loading = true;
    PortToRow(channel);
    Loading = loading;
    ConfigChanged = true;
    UpdateExposureMarks();
    UpdateConditionMarks();
    UpdateStatusLights();
}

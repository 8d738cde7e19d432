// The two tab pages of the main window. They only build and lay out their controls; the main
// window wires every control to its handler.
// Called on the main thread only.
#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;
class QSpinBox;
class TChannelTable;
class TScreenLog;

// "S&tatus": the channel table, then the groups " Config ", " Delay settings " and
// " Mappings ".
class TStatusPage : public QWidget {
    Q_OBJECT
public:
    explicit TStatusPage(QWidget* parent = nullptr);

    TChannelTable* Channels = nullptr;
    QCheckBox* AutoStart = nullptr;  // "A&utoStart"
    QCheckBox* GotoTNA = nullptr;  // "Mi&nimize->TNA"
    QCheckBox* DelayPerThread = nullptr;  // "&Delay/Connection"
    QPushButton* StartButton = nullptr;  // "St&art" / "Rest&art"
    QPushButton* StopButton = nullptr;  // "St&op"
    QPushButton* ResetButton = nullptr;  // "R&eset Counters"
};

// "&Logging": the screen log above its option panel with the groups " Log to ... ",
// " Screenlog " and " Log Details ".
class TLoggingPage : public QWidget {
    Q_OBJECT
public:
    explicit TLoggingPage(QWidget* parent = nullptr);

    TScreenLog* View = nullptr;
    QCheckBox* LogToFile = nullptr;  // "Fil&e"
    QCheckBox* LogToScreen = nullptr;  // "Sc&reen"
    QPushButton* ClearButton = nullptr;  // "Cl&ear"
    QCheckBox* WrapLines = nullptr;  // "&Wrap Lines"
    QCheckBox* LimitScreenLog = nullptr;  // "L&imit to"
    QSpinBox* ScreenLogLines = nullptr;  // "li&nes"
    QPushButton* SaveButton = nullptr;  // "Sa&ve to file"
    QCheckBox* LogConnInfo = nullptr;  // "C&onnection Info"
    QCheckBox* LogDelayInfo = nullptr;  // "&Delay Info"
    QLabel* Places = nullptr;  // the settings file and the log folder in use

    // With apiToken: the control API's token file as well.
    void ShowPlaces(const QString& settingsFile, const QString& logFolder,
                    const QString& apiToken = QString());

    // The option controls of this page (the buttons excluded).
    QList<QWidget*> OptionControls() const;
};

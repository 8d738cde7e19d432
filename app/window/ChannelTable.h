// TChannelTable: the eight channel rows of the "S&tatus" tab, one row of controls per channel
// under the header captions, ending with the status light, the status label, a warning mark
// shown while the channel is open to other machines, and the button of the channel's
// "Channel Settings" dialog (also in the context menu of the row). It only builds and shows
// the controls; the main window connects their change signals to its handlers and moves
// values between them and the settings.
// Called on the main thread only.
#pragma once

#include <QWidget>

#include <array>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QSpinBox;
class QToolButton;

inline constexpr int ChannelCount = 8;

struct TChannelRow {
    QLineEdit* Remarks = nullptr;
    QLineEdit* BindIp = nullptr;
    QSpinBox* ListenPort = nullptr;
    QLineEdit* MapIp = nullptr;
    QSpinBox* MapPort = nullptr;
    QCheckBox* Map = nullptr;
    QSpinBox* MaxSpeed = nullptr;
    QCheckBox* Log = nullptr;
    QComboBox* DataMode = nullptr;
    QFrame* Light = nullptr;
    // Beside the light: shown while the channel has network conditions; its tooltip names them.
    QLabel* ConditionMark = nullptr;
    QLabel* Status = nullptr;
    QLabel* Exposed = nullptr;  // "Reachable from other machines"
    QToolButton* Settings = nullptr;  // opens the "Channel Settings" dialog
};

class TChannelTable : public QWidget {
    Q_OBJECT
public:
    explicit TChannelTable(QWidget* parent = nullptr);

    // Channels are numbered 1 to 8, as everywhere in the program.
    TChannelRow& Row(int channel) { return Rows[size_t(channel - 1)]; }
    const TChannelRow& Row(int channel) const { return Rows[size_t(channel - 1)]; }

    // The light is green while the channel's server listens, else the window's neutral colour.
    void SetLight(int channel, bool active);
    QColor LightColour(int channel) const;
    void SetRowsEnabled(bool enabled);
    // Shows the warning mark of a channel that listens on every address for every client.
    void SetExposed(int channel, bool exposed);
    // Shows the conditions mark with `summary` as its tooltip; an empty summary hides it.
    void SetConditionMark(int channel, const QString& summary);

    static const QStringList& DataModeItems();
    static const QStringList& HeaderCaptions();
    // The text every remark and address field keeps room for, however narrow the window.
    static QString WidestAddress() { return QStringLiteral("127.255.255.255"); }

signals:
    // The row's settings button or context menu asks for the channel's settings dialog.
    void SettingsRequested(int channel);

private:
    void AddRow(int channel);
    void AddRowExtras(int channel);
    void AddSettingsMenu(int channel);
    std::array<TChannelRow, ChannelCount> Rows;
};

// TChannelTable: the eight channel rows of the "S&tatus" tab, one row of controls per channel
// under the header captions, ending with the status light and the status label. It only builds
// and shows the controls; the main window connects their change signals to its handlers and
// moves values between them and the settings.
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

inline constexpr int ChannelCount = 8;

struct TChannelRow {
    QLineEdit *Remarks = nullptr;
    QLineEdit *BindIp = nullptr;
    QSpinBox *ListenPort = nullptr;
    QLineEdit *MapIp = nullptr;
    QSpinBox *MapPort = nullptr;
    QCheckBox *Map = nullptr;
    QSpinBox *MaxSpeed = nullptr;
    QCheckBox *Log = nullptr;
    QComboBox *DataMode = nullptr;
    QFrame *Light = nullptr;
    QLabel *Status = nullptr;
};

class TChannelTable : public QWidget {
    Q_OBJECT
public:
    explicit TChannelTable(QWidget *parent = nullptr);

    // Channels are numbered 1 to 8, as everywhere in the program.
    TChannelRow &Row(int channel) { return Rows[size_t(channel - 1)]; }
    const TChannelRow &Row(int channel) const { return Rows[size_t(channel - 1)]; }

    // The light is green while the channel's server listens, else the window's neutral colour.
    void SetLight(int channel, bool active);
    QColor LightColour(int channel) const;
    void SetRowsEnabled(bool enabled);

    static const QStringList &DataModeItems();
    static const QStringList &HeaderCaptions();

private:
    void AddRow(int channel);
    std::array<TChannelRow, ChannelCount> Rows;
};

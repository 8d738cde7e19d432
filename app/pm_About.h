// TPMAboutDialog: the About box. Created once, right after the main window, and shown modally
// from the "?" menu; it shows the titles, a fixed line, the web address as a link that opens
// the default browser, and a short help text.
// Called on the main thread only.
#pragma once

#include <QDialog>

#include <functional>
#include <string>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class TUserPrompts;

inline const QString MakerWebAddress = QStringLiteral("https://trabix.example.org/");
inline const QString MakerMailAddress = QStringLiteral("trabix@example.org");

class TPMAboutDialog : public QDialog {
    Q_OBJECT
public:
    // Opens an address in the default browser; false when that failed.
    using TBrowserLauncher = std::function<bool(const std::string&)>;

    TPMAboutDialog(TUserPrompts& prompts, TBrowserLauncher launcher, QWidget* parent = nullptr);
    ~TPMAboutDialog() override;

    // Sets the titles and the height of 275 pixels, centres the box and shows it modally.
    void ShowAbout(const QString& shortTitle, const QString& longTitle);
    // Sets the titles and the height, as ShowAbout does before it shows the box.
    void PrepareShow(const QString& shortTitle, const QString& longTitle);

    // Shows which settings file and log folder the program uses.
    void SetPlaces(const QString& settingsFile, const QString& logFolder);
    // Opens an address (a web link, a folder's file: URL) the way the link opens; false when
    // that failed.
    bool OpenAddress(const std::string& address);

    void URILabelClick();
    // The hand cursor is application-wide: set over the link, taken back over the background.
    void URILabelMouseMove();
    void FormMouseMove();

    QLabel* Image1 = nullptr;
    QLabel* VersionLabel = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* URILabel = nullptr;
    QLabel* PlacesLabel = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QPushButton* OKBtn = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    // Escape closes the box with the result OK, as the OK button does.
    void reject() override;

private:
    void SetHandCursor(bool hand);
    void FitMemoToText();

    TUserPrompts& Prompts;
    TBrowserLauncher Launcher;
    bool HandCursorShown = false;
};

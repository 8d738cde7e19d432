#include "app/pm_About.h"

#include "app/window/ProgramIcon.h"
#include "app/window/UserPrompts.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

#include <algorithm>

namespace {

constexpr int ClientWidth = 493;
constexpr int ShownHeight = 275;

}  // namespace

TPMAboutDialog::TPMAboutDialog(TUserPrompts& prompts, TBrowserLauncher launcher, QWidget* parent)
    : QDialog(parent), Prompts(prompts), Launcher(std::move(launcher))
{
    setObjectName(QStringLiteral("PMAboutDialog"));
    setWindowFlag(Qt::MSWindowsFixedSizeDialogHint);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setFixedSize(ClientWidth, ShownHeight);
    setMouseTracking(true);

    Image1 = new QLabel(this);
    Image1->setGeometry(5, 5, 32, 32);
    Image1->setPixmap(ProgramIconPixmap(32));

    VersionLabel = new QLabel(this);
    VersionLabel->move(45, 7);
    QFont bold = VersionLabel->font();
    bold.setBold(true);
    VersionLabel->setFont(bold);

    Label2 = new QLabel(QStringLiteral("TCP port mapper with traffic log"), this);
    Label2->move(45, 21);
    Label2->adjustSize();

    URILabel = new QLabel(MakerWebAddress, this);
    URILabel->setStyleSheet(QStringLiteral("color: blue; text-decoration: underline;"));
    URILabel->adjustSize();
    // At 348 the link leaves the box with most fonts: it keeps its place when it fits and
    // otherwise ends at the box's right margin.
    URILabel->move(std::min(348, ClientWidth - 5 - URILabel->width()), 6);
    URILabel->setMouseTracking(true);
    URILabel->installEventFilter(this);

    PlacesLabel = new QLabel(this);
    PlacesLabel->setGeometry(45, 40, 441, 45);
    PlacesLabel->setWordWrap(true);
    PlacesLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setGeometry(5, 90, 481, 100);
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);  // its lines wrap
    Memo1->setPlainText(
        QStringLiteral("For help, description of this program and other information please "
                       "visit our website: \n") +
        MakerWebAddress +
        QStringLiteral("\n\nFeel free to send any comments, suggestions, "
                       "ideas etc. to ") +
        MakerMailAddress + QStringLiteral("\n"));

    FitMemoToText();

    OKBtn = new QPushButton(QStringLiteral("OK"), this);
    OKBtn->setGeometry(412, 212, 75, 25);
    OKBtn->setDefault(true);
    OKBtn->setAutoDefault(true);
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
}

// With most fonts the help text needs more than its 100 pixels: the memo then grows upwards
// into the free space below the labels, so that every line shows whole above the OK button.
void TPMAboutDialog::FitMemoToText()
{
    const int frame = 2 * Memo1->frameWidth();
    const int margin = int(2 * Memo1->document()->documentMargin());
    const int scrollBar = Memo1->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const int textWidth = Memo1->width() - frame - margin - scrollBar;
    // The empty last line takes its room too.
    const QString lines = Memo1->toPlainText() + QLatin1Char(' ');
    const QRect text = QFontMetrics(Memo1->font())
                           .boundingRect(QRect(0, 0, textWidth, 10000), Qt::TextWordWrap, lines);
    // The view rounds each line up to whole pixels: a few to spare keep the last one whole.
    const int height = std::max(100, text.height() + frame + margin + 4);
    const int bottomLimit = 212 - 8;  // above the OK button
    Memo1->setGeometry(5, std::min(90, bottomLimit - height), 481, height);
}

TPMAboutDialog::~TPMAboutDialog()
{
    SetHandCursor(false);
}

void TPMAboutDialog::PrepareShow(const QString& shortTitle, const QString& longTitle)
{
    VersionLabel->setText(longTitle);
    VersionLabel->adjustSize();
    setWindowTitle(shortTitle);
    setFixedHeight(ShownHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TPMAboutDialog::ShowAbout(const QString& shortTitle, const QString& longTitle)
{
    PrepareShow(shortTitle, longTitle);
    OKBtn->setFocus();
    exec();
}

void TPMAboutDialog::SetPlaces(const QString& settingsFile, const QString& logFolder)
{
    PlacesLabel->setText(
        QStringLiteral("Settings: %1\nLog folder: %2").arg(settingsFile, logFolder));
}

bool TPMAboutDialog::OpenAddress(const std::string& address)
{
    return Launcher && Launcher(address);
}

void TPMAboutDialog::URILabelClick()
{
    if (!OpenAddress(URILabel->text().toStdString()))
        Prompts.ShowMessage(this, QStringLiteral("Error calling Default-Webbrowser"));
}

bool TPMAboutDialog::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == URILabel) {
        if (event->type() == QEvent::MouseMove || event->type() == QEvent::Enter)
            URILabelMouseMove();
        else if (event->type() == QEvent::MouseButtonRelease &&
                 static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            URILabelClick();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TPMAboutDialog::mouseMoveEvent(QMouseEvent* event)
{
    FormMouseMove();
    QDialog::mouseMoveEvent(event);
}

void TPMAboutDialog::URILabelMouseMove()
{
    SetHandCursor(true);
}

// The hand stays until the mouse moves over the box's background, as with a global cursor.
void TPMAboutDialog::FormMouseMove()
{
    SetHandCursor(false);
}

void TPMAboutDialog::hideEvent(QHideEvent* event)
{
    // Once the box is gone the background can no longer be reached: give the cursor back.
    SetHandCursor(false);
    QDialog::hideEvent(event);
}

void TPMAboutDialog::reject()
{
    accept();
}

void TPMAboutDialog::SetHandCursor(bool hand)
{
    if (hand == HandCursorShown)
        return;
    HandCursorShown = hand;
    if (hand)
        QApplication::setOverrideCursor(Qt::PointingHandCursor);
    else
        QApplication::restoreOverrideCursor();
}

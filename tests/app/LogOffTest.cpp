// A log-off (SIGTERM, SIGHUP) while one of the program's real boxes waits: the close question,
// "Save configuration?", the About box with its error box, the save-file dialog. The program
// ends with its stop lines and the edits saved; a refused close leaves the window shown.
#include "WindowFixture.h"

#include "app/startup/ProgramSignals.h"
#include "app/window/TrayIcon.h"
#include "engine/qv_IdMappedPortTCP.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include <csignal>

using namespace apptest;

namespace {

class TLogOffTest : public TWindowTest {
protected:
    void TearDown() override
    {
        Form.reset();
        About.reset();
    }

    void OpenWithRealBoxes()
    {
        Sandbox.WriteIni(Ini({{.ListenPort = FreePort(), .MapPort = Target.Port()}}));
        Form = std::make_unique<TMainForm>(RealBoxes, Settings);
        // The link never opens, so clicking it shows the error box on top of the About box.
        About =
            std::make_unique<TPMAboutDialog>(RealBoxes, [](const std::string&) { return false; });
        Form->SetAboutDialog(About.get());
        QObject::connect(&Signals, &TProgramSignals::ShutdownRequested, Form.get(),
                         &TMainForm::OsShutdownQuery);
        QObject::connect(Form.get(), &TMainForm::ProgramClosed, [this] { Closed = true; });
        Form->show();
        Row(1).Remarks->setText(QStringLiteral("saved silently"));
    }

    // Runs opensBox, which waits in a modal box. Every 10 ms onBox gets the innermost open box
    // and returns true once it has done its part. Boxes still open 10 s later are closed here
    // and the case fails, so a box that nothing ends cannot hang the test.
    void WhileBoxOpen(const std::function<void()>& opensBox,
                      const std::function<bool(QWidget*)>& onBox)
    {
        QElapsedTimer clock;
        clock.start();
        bool done = false;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            QWidget* box = QApplication::activeModalWidget();
            if (box && !done)
                done = onBox(box);
            if (box && clock.elapsed() > 10000) {
                BoxLeftOpen = true;
                CloseModalBoxes();
            }
        });
        tick.start(10);
        opensBox();
        EXPECT_TRUE(done) << "no box was shown";
    }

    // The close box as the window manager presses it: a close event for the native window,
    // not a call of close() (which Qt keeps from nesting).
    bool PressCloseBox()
    {
        QCloseEvent press;
        QCoreApplication::sendEvent(Form->windowHandle(), &press);
        return press.isAccepted();
    }

    static QString BoxText(QWidget* box)
    {
        auto* message = qobject_cast<QMessageBox*>(box);
        return message ? message->text() : QString::fromLatin1(box->metaObject()->className());
    }

    void ExpectLoggedOff()
    {
        EXPECT_FALSE(BoxLeftOpen) << "a box held up the log-off";
        EXPECT_TRUE(WaitFor([&] { return Closed; }));
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        EXPECT_EQ(Form->Mapping(1), nullptr) << "the servers are released";
        EXPECT_FALSE(Form->MappingsActive);
        EXPECT_TRUE(Sandbox.ReadIni().contains(QStringLiteral("Remarks=saved silently")));
        const QStringList lines = ScreenLines();
        ASSERT_GE(lines.size(), 2);
        EXPECT_TRUE(
            lines[lines.size() - 2].endsWith(QStringLiteral(" Stopped all (active) mappings")));
        EXPECT_TRUE(lines.last().endsWith(QStringLiteral(" Trabix V1.2 - Program stopped")));
        EXPECT_TRUE(Sandbox.TodaysLog().endsWith(QStringLiteral(" - Program stopped\r\n")));
    }

    // Raises the signal at the first box and records what the box showed.
    std::function<bool(QWidget*)> RaiseAtBox(int signalNumber)
    {
        return [this, signalNumber](QWidget* box) {
            Shown << BoxText(box);
            ::raise(signalNumber);
            return true;
        };
    }

    TQtUserPrompts RealBoxes;
    TProgramSignals Signals;
    bool Closed = false;
    bool BoxLeftOpen = false;
    QStringList Shown;
};

}  // namespace

TEST_F(TLogOffTest, SignalEndsTheProgramWhileAQuestionWaits)
{
    // The close question while mappings run.
    OpenWithRealBoxes();
    Form->StartMappings();
    WhileBoxOpen([&] { PressCloseBox(); }, RaiseAtBox(SIGTERM));
    EXPECT_EQ(Shown,
              QStringList{QStringLiteral(
                  "Closing the program stops all active port mappings!\nClose program?")});
    ExpectLoggedOff();
}

TEST_F(TLogOffTest, SignalEndsTheProgramWhileSaveConfigurationWaits)
{
    // Before a start: the start must not follow the ended question.
    OpenWithRealBoxes();
    WhileBoxOpen([&] { Form->StatusPage->StartButton->click(); }, RaiseAtBox(SIGHUP));
    EXPECT_EQ(Shown, QStringList{QStringLiteral("Save configuration?")});
    ExpectLoggedOff();

    // At a close without running mappings.
    Closed = false;
    Shown.clear();
    Form.reset();
    OpenWithRealBoxes();
    WhileBoxOpen([&] { Form->close(); }, RaiseAtBox(SIGTERM));
    EXPECT_EQ(Shown, QStringList{QStringLiteral("Save configuration?")});
    ExpectLoggedOff();
}

TEST_F(TLogOffTest, SignalEndsTheProgramWhileTheAboutBoxAndItsErrorBoxOrTheSaveDialogWait)
{
    OpenWithRealBoxes();
    Form->StartMappings();
    WhileBoxOpen([&] { Form->AboutAction->trigger(); },
                 [&](QWidget* box) {
                     if (box == About.get()) {
                         if (Shown.isEmpty())
                             QTimer::singleShot(0, About.get(), [&] { About->URILabelClick(); });
                         Shown = QStringList{BoxText(box)};
                         return false;
                     }
                     return RaiseAtBox(SIGTERM)(box);
                 });
    EXPECT_EQ(Shown,
              (QStringList{QStringLiteral("TPMAboutDialog"),
                           QStringLiteral("Error calling Default-Webbrowser")}));
    EXPECT_FALSE(About->isVisible());
    ExpectLoggedOff();

    Closed = false;
    Shown.clear();
    Form.reset();
    OpenWithRealBoxes();
    WhileBoxOpen([&] { Form->LoggingPage->SaveButton->click(); }, RaiseAtBox(SIGHUP));
    EXPECT_EQ(Shown, QStringList{QStringLiteral("QFileDialog")});
    ExpectLoggedOff();
}

TEST_F(TLogOffTest, RefusedCloseLeavesTheWindowShownAndTheSignalsWorking)
{
    OpenWithRealBoxes();
    Form->StartMappings();
    Form->Tray->Add(Form->ApplicationTitle());
    WhileBoxOpen([&] { EXPECT_FALSE(PressCloseBox()); },
                 [&](QWidget* box) {
                     // The tray menu still works while the question waits: its "Exit" must not close again.
                     Form->Tray->PopupMenu()->actions()[2]->trigger();
                     static_cast<QMessageBox*>(box)->button(QMessageBox::No)->click();
                     return true;
                 });
    EXPECT_TRUE(Form->isVisible());
    ASSERT_NE(Form->windowHandle(), nullptr);
    EXPECT_NE(Form->windowHandle()->handle(), nullptr) << "the native window is gone";
    EXPECT_TRUE(Form->Mapping(1)->Active());

    ::raise(SIGTERM);
    ExpectLoggedOff();
}

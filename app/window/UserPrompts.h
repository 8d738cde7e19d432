// TUserPrompts: the one way through which the main window and the About box ask the user a
// question, show a message or let the user pick a file name. The program uses TQtUserPrompts
// (modal Qt boxes); widget tests install their own answers.
// Called on the main thread only.
#pragma once

#include <QString>

class QWidget;

class TUserPrompts {
public:
    virtual ~TUserPrompts() = default;
    // The title of the boxes: the application title, which the window knows only after
    // loading its settings.
    virtual void SetBoxTitle(const QString& title) = 0;
    // A confirmation box with the buttons Yes and No; true for Yes.
    virtual bool AskYesNo(QWidget* parent, const QString& text) = 0;
    // A plain message box with an OK button.
    virtual void ShowMessage(QWidget* parent, const QString& text) = 0;
    // The save-file dialog: starts in folder, appends defaultSuffix to a name given without
    // extension. Returns the chosen path, or an empty text when the user cancels.
    virtual QString AskSaveFileName(QWidget* parent, const QString& folder,
                                    const QString& defaultSuffix) = 0;
};

class TQtUserPrompts : public TUserPrompts {
public:
    void SetBoxTitle(const QString& title) override { BoxTitle = title; }
    bool AskYesNo(QWidget* parent, const QString& text) override;
    void ShowMessage(QWidget* parent, const QString& text) override;
    QString AskSaveFileName(QWidget* parent, const QString& folder,
                            const QString& defaultSuffix) override;

private:
    QString BoxTitle;
};

// Ends every open modal box, innermost first, as if the user had cancelled it (a question
// then reads No, the save-file dialog gives no name). Each box's event loop returns once
// control gets back to it. A log-off uses this: no box may hold up the end of the program.
void CloseModalBoxes();

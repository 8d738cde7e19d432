#include "app/window/UserPrompts.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>

namespace {

// The program's texts separate lines with CR LF; a label wants one line break.
QString ForDisplay(QString text)
{
    return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

}  // namespace

bool TQtUserPrompts::AskYesNo(QWidget* parent, const QString& text)
{
    return QMessageBox::question(parent, BoxTitle, ForDisplay(text),
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::Yes) == QMessageBox::Yes;
}

void TQtUserPrompts::ShowMessage(QWidget* parent, const QString& text)
{
    QMessageBox::information(parent, BoxTitle, ForDisplay(text), QMessageBox::Ok);
}

QString TQtUserPrompts::AskSaveFileName(QWidget* parent, const QString& folder,
                                        const QString& defaultSuffix)
{
    // QFileDialog::getSaveFileName has no default suffix, so the dialog is built by hand.
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDirectory(folder);
    dialog.setDefaultSuffix(defaultSuffix);
    // An existing file is replaced without asking.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

void CloseModalBoxes()
{
    // Bounded: each pass ends one box, and no box can open while this runs.
    const qsizetype bound = QApplication::topLevelWidgets().size();
    for (qsizetype i = 0; i < bound; ++i) {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->done(QDialog::Rejected);
        else
            modal->hide();
    }
}

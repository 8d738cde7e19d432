#include "app/channel/AccessPage.h"

#include "engine/access/AllowList.h"
#include "config/pm_config.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>

namespace {

// 0 shows as "no limit", the engine's meaning of it.
QSpinBox* NewLimitBox(QWidget* parent)
{
    auto* box = new QSpinBox(parent);
    box->setRange(trabix::SettingRange::Connections.Min, trabix::SettingRange::Connections.Max);
    box->setSpecialValueText(QStringLiteral("no limit"));
    return box;
}

QString ParseProblem(const QString& text)
{
    TAllowList list;
    return QString::fromStdString(list.Parse(text.toStdString()));
}

}  // namespace

TAccessPage::TAccessPage(QWidget* parent) : TChannelSettingsPage(parent)
{
    auto* form = new QFormLayout(this);
    AllowFrom = new QLineEdit(this);
    AllowFrom->setPlaceholderText(QStringLiteral("everyone (e.g. 127.0.0.1, 192.168.1.0/24)"));
    AllowFromCheck = new QLabel(this);
    AllowFromCheck->setTextFormat(Qt::PlainText);
    AllowFromCheck->setWordWrap(true);
    MaxConnections = NewLimitBox(this);
    MaxConnectionsPerSource = NewLimitBox(this);
    form->addRow(QStringLiteral("A&llow from:"), AllowFrom);
    form->addRow(QString(), AllowFromCheck);
    form->addRow(QStringLiteral("Max. &connections:"), MaxConnections);
    form->addRow(QStringLiteral("Max. connections per &source:"), MaxConnectionsPerSource);
    connect(AllowFrom, &QLineEdit::textChanged, this, &TAccessPage::CheckAllowFrom);
    CheckAllowFrom();
}

QString TAccessPage::Title() const
{
    return QStringLiteral("&Access");
}

void TAccessPage::Load(const trabix::TPM_port& port)
{
    AllowFrom->setText(QString::fromStdString(port.AllowFrom));
    MaxConnections->setValue(port.MaxConnections);
    MaxConnectionsPerSource->setValue(port.MaxConnectionsPerSource);
}

QString TAccessPage::Problem() const
{
    return ParseProblem(AllowFrom->text());
}

void TAccessPage::Store(trabix::TPM_port& port) const
{
    port.AllowFrom = AllowFrom->text().trimmed().toStdString();
    port.MaxConnections = MaxConnections->value();
    port.MaxConnectionsPerSource = MaxConnectionsPerSource->value();
}

void TAccessPage::CheckAllowFrom()
{
    const QString problem = Problem();
    QPalette palette = AllowFromCheck->palette();
    palette.setColor(
        QPalette::WindowText,
        problem.isEmpty() ? this->palette().color(QPalette::WindowText) : QColor(Qt::red));
    AllowFromCheck->setPalette(palette);
    if (!problem.isEmpty())
        AllowFromCheck->setText(QStringLiteral("Not a valid list: %1").arg(problem));
    else if (AllowFrom->text().trimmed().isEmpty())
        AllowFromCheck->setText(QStringLiteral("Every client may connect."));
    else
        AllowFromCheck->setText(QStringLiteral("Only the listed addresses may connect."));
    emit Edited();
}

#include "app/channel/ConditionsPage.h"

#include "config/pm_config.h"

#include <QGridLayout>
#include <QLabel>
#include <QSpinBox>

#include <climits>

namespace {

QSpinBox* NewBox(int minimum, int maximum, const QString& suffix, QWidget* parent)
{
    auto* box = new QSpinBox(parent);
    box->setRange(minimum, maximum);
    box->setSuffix(suffix);
    return box;
}

// A byte budget: 0 reads "off".
QSpinBox* NewBudgetBox(QWidget* parent)
{
    QSpinBox* box = NewBox(0, INT_MAX, QStringLiteral(" bytes"), parent);
    box->setSpecialValueText(QStringLiteral("off"));
    return box;
}

QString Budget(std::int32_t bytes)
{
    return bytes > 0 ? QString::number(bytes) : QStringLiteral("off");
}

}  // namespace

TConditionsPage::TConditionsPage(QWidget* parent) : TChannelSettingsPage(parent)
{
    const QString ms = QStringLiteral(" ms");
    LatencyCS = NewBox(0, trabix::MaxConditionMs, ms, this);
    LatencySC = NewBox(0, trabix::MaxConditionMs, ms, this);
    JitterCS = NewBox(0, trabix::MaxConditionMs, ms, this);
    JitterSC = NewBox(0, trabix::MaxConditionMs, ms, this);
    ResetAfterCS = NewBudgetBox(this);
    ResetAfterSC = NewBudgetBox(this);
    StallAfterCS = NewBudgetBox(this);
    StallAfterSC = NewBudgetBox(this);
    Chance = NewBox(0, 100, QStringLiteral(" %"), this);
    Seed = NewBox(INT_MIN, INT_MAX, QString(), this);
    Seed->setToolTip(
        QStringLiteral("0: a new sequence at every start; any other value repeats "
                       "the same draws at every start"));

    auto* grid = new QGridLayout(this);
    grid->addWidget(new QLabel(QStringLiteral("Client -> Server"), this), 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Server -> Client"), this), 0, 2);
    const struct {
        const char* Caption;
        QSpinBox *CS, *SC;
    } rows[] = {{"&Latency", LatencyCS, LatencySC},
                {"&Jitter (+/-)", JitterCS, JitterSC},
                {"&Reset after", ResetAfterCS, ResetAfterSC},
                {"&Stall after", StallAfterCS, StallAfterSC}};
    int r = 1;
    for (const auto& row : rows) {
        auto* caption = new QLabel(QString::fromLatin1(row.Caption), this);
        caption->setBuddy(row.CS);
        grid->addWidget(caption, r, 0);
        grid->addWidget(row.CS, r, 1);
        grid->addWidget(row.SC, r++, 2);
    }
    // A label shows its access key only with a buddy to give the focus to; without one the
    // '&' would stand in the text.
    const struct {
        const char* Caption;
        QSpinBox* Box;
    } singles[] = {{"&Chance per connection", Chance}, {"S&eed (0: from the clock)", Seed}};
    for (const auto& single : singles) {
        auto* caption = new QLabel(QString::fromLatin1(single.Caption), this);
        caption->setBuddy(single.Box);
        grid->addWidget(caption, r, 0);
        grid->addWidget(single.Box, r++, 1);
    }
    grid->setRowStretch(r, 1);
}

void TConditionsPage::Load(const trabix::TPM_port& port)
{
    LatencyCS->setValue(port.LatencyCS);
    LatencySC->setValue(port.LatencySC);
    JitterCS->setValue(port.JitterCS);
    JitterSC->setValue(port.JitterSC);
    ResetAfterCS->setValue(port.ResetAfterCS);
    ResetAfterSC->setValue(port.ResetAfterSC);
    StallAfterCS->setValue(port.StallAfterCS);
    StallAfterSC->setValue(port.StallAfterSC);
    Chance->setValue(port.ConditionChance);
    Seed->setValue(port.ConditionSeed);
}

void TConditionsPage::Store(trabix::TPM_port& port) const
{
    port.LatencyCS = LatencyCS->value();
    port.LatencySC = LatencySC->value();
    port.JitterCS = JitterCS->value();
    port.JitterSC = JitterSC->value();
    port.ResetAfterCS = ResetAfterCS->value();
    port.ResetAfterSC = ResetAfterSC->value();
    port.StallAfterCS = StallAfterCS->value();
    port.StallAfterSC = StallAfterSC->value();
    port.ConditionChance = Chance->value();
    port.ConditionSeed = Seed->value();
}

QString TConditionsPage::Summary(const trabix::TPM_port& port)
{
    const bool any = port.LatencyCS > 0 || port.LatencySC > 0 || port.JitterCS > 0 ||
        port.JitterSC > 0 || port.ResetAfterCS > 0 || port.ResetAfterSC > 0 ||
        port.StallAfterCS > 0 || port.StallAfterSC > 0;
    if (!any || port.ConditionChance <= 0)
        return {};
    return QStringLiteral(
               "Network conditions (C->S / S->C)\n"
               "Latency: %1 / %2 ms\nJitter: +/- %3 / %4 ms\n"
               "Reset after: %5 / %6 bytes\nStall after: %7 / %8 bytes\n"
               "Chance: %9 % of connections\nSeed: %10")
        .arg(port.LatencyCS)
        .arg(port.LatencySC)
        .arg(port.JitterCS)
        .arg(port.JitterSC)
        .arg(Budget(port.ResetAfterCS), Budget(port.ResetAfterSC), Budget(port.StallAfterCS),
             Budget(port.StallAfterSC))
        .arg(port.ConditionChance)
        .arg(port.ConditionSeed == 0 ? QStringLiteral("from the clock")
                                     : QString::number(port.ConditionSeed));
}

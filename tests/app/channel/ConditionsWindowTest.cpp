// The network conditions in the window: their page in the "Channel Settings" dialog, the mark
// beside the status light and the values reaching the running channel at once.
#include "WindowFixture.h"

#include "app/channel/ChannelSettingsDialog.h"
#include "app/channel/ConditionsPage.h"
#include "engine/qv_IdMappedPortTCP.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QSpinBox>
#include <QToolButton>

#include <functional>

using namespace apptest;

namespace {

// Opens channel 1's dialog from its row, edits the conditions page, then presses OK or Cancel.
void EditConditions(TMainForm& form, TChannelRow& row,
                    const std::function<void(TConditionsPage&)>& edit, bool ok)
{
    row.Settings->click();
    TChannelSettingsDialog* dialog = nullptr;
    for (auto* d : form.findChildren<TChannelSettingsDialog*>())
        if (d->isVisible())
            dialog = d;
    ASSERT_NE(dialog, nullptr);
    edit(*dialog->Conditions);
    dialog->Buttons->button(ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
}

}  // namespace

TEST_F(TWindowTest, ConditionsPageAppliesAtOnceMarksTheRowAndIsSaved)
{
    const int port = FreePort();
    Open({{.ListenPort = port, .MapPort = Target.Port(), .Logging = false}});
    Form->StartMappings();
    TqvMappedPortTCP* server = Form->Mapping(1);
    ASSERT_TRUE(server->Active());
    EXPECT_TRUE(Row(1).ConditionMark->isHidden());

    EditConditions(
        *Form, Row(1),
        [](TConditionsPage& page) {
            page.LatencySC->setValue(30);
            page.ResetAfterSC->setValue(4);
            page.Seed->setValue(-7);
        },
        true);
    const TConditionValues values = server->Conditions().Get();
    EXPECT_EQ(values.Latency[1], 30);
    EXPECT_EQ(values.ResetAfter[1], 4);
    EXPECT_EQ(values.Seed, -7);
    EXPECT_FALSE(Row(1).ConditionMark->isHidden());
    EXPECT_TRUE(Row(1).ConditionMark->toolTip().contains(QStringLiteral("Latency: 0 / 30 ms")));
    EXPECT_TRUE(Row(1).ConditionMark->toolTip().contains(QStringLiteral("Reset after: off / 4")));
    EXPECT_TRUE(Row(2).ConditionMark->isHidden());
    // The running channel resets after the fourth byte of the answer.
    TClient client(port);
    ASSERT_TRUE(client.Send("conditions"));
    EXPECT_EQ(client.Receive(10, 2000), "COND");

    // Cancel changes nothing; a chance of 0 % hides the mark.
    EditConditions(
        *Form, Row(1), [](TConditionsPage& page) { page.LatencySC->setValue(999); }, false);
    EXPECT_EQ(server->Conditions().Get().Latency[1], 30);
    EditConditions(
        *Form, Row(1), [](TConditionsPage& page) { page.Chance->setValue(0); }, true);
    EXPECT_TRUE(Row(1).ConditionMark->isHidden());

    Form->SaveConfig1Click();
    EXPECT_TRUE(Sandbox.ReadIni().contains(QStringLiteral("LatencySC=30")));
    EXPECT_TRUE(Sandbox.ReadIni().contains(QStringLiteral("ConditionChance=0")));
}

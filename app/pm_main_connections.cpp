// The "Connections" tab over the channels' connection registries.
#include "app/pm_main.h"

#include "app/connections/ConnectionsPage.h"
#include "app/window/MainPages.h"

#include "config/pm_config.h"
#include "engine/qv_IdMappedPortTCP.h"

#include <QTabWidget>

void TMainForm::CreateConnectionsPage()
{
    auto snapshots = [this] {
        std::vector<TConnectionSnapshot> all;
        for (int n = 1; n <= ChannelCount; ++n)
            if (TqvMappedPortTCP* server = Mapping(n)) {
                std::vector<TConnectionSnapshot> one = server->ConnectionSnapshot();
                all.insert(all.end(), one.begin(), one.end());
            }
        return all;
    };
    auto closer = [this](int channel, std::uint64_t id, bool reset) {
        if (TqvMappedPortTCP* server = Mapping(channel))
            server->CloseConnection(id, reset);
    };
    auto records = [this](int channel, std::uint64_t id) -> std::shared_ptr<TConnectionRecord> {
        TqvMappedPortTCP* server = Mapping(channel);
        return server ? server->FindConnection(id) : nullptr;
    };
    auto capturing = [this](int channel) { return Settings.Port(channel).Capture; };
    ConnectionsPage = new TConnectionsPage(snapshots, closer, records, capturing, Pages);
    Pages->addTab(ConnectionsPage, QStringLiteral("Connections"));
}

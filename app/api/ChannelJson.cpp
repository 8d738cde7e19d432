#include "app/api/ChannelJson.h"

#include "app/startup/ChannelSet.h"

#include "engine/qv_IdMappedPortTCP.h"

#include <QDateTime>
#include <QJsonArray>

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace {

QJsonValue KeyValue(const trabix::TPM_port& port, const trabix::TChannelKey& key)
{
    const trabix::TKeyValue value = trabix::ReadChannelKey(port, key);
    if (const bool* b = std::get_if<bool>(&value))
        return *b;
    if (const std::int32_t* i = std::get_if<std::int32_t>(&value))
        return *i;
    return QString::fromStdString(std::get<std::string>(value));
}

QJsonObject Counters(const TqvMappedPortTCP& server)
{
    return QJsonObject{
        {"open", server.CurrentThreads.load()},
        {"maxOpen", server.MaxThreads.load()},
        {"connectsIn", server.ConnectsIn.load()},
        {"disconnectsIn", server.DisconnectsIn.load()},
        {"connectsOut", server.ConnectsOut.load()},
        {"refused", server.RefusedIn.load()},
        {"bytesCS", static_cast<qint64>(server.RelayedBytesCS.load())},
        {"bytesSC", static_cast<qint64>(server.RelayedBytesSC.load())},
        {"pooled", server.PooledConnections()},
    };
}

QJsonValue Time(const TCaptureTime& time)
{
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QString Endpoint(const TEndpoint& e)
{
    return QString::fromStdString(e.IP) + QLatin1Char(':') + QString::number(e.Port);
}

std::string RangeText(const trabix::TChannelKey& key)
{
    switch (key.Type) {
        case trabix::TKeyType::Bool: return "true or false";
        case trabix::TKeyType::Text: return "a string";
        case trabix::TKeyType::Integer: break;
    }
    // ListenPort also takes 0, the port the system chooses.
    const std::int32_t low = key.Name == "ListenPort" ? 0 : key.Range.Min;
    return "an integer " + std::to_string(low) + ".." + std::to_string(key.Range.Max);
}

// The JSON value as the key's type, or nullopt.
std::optional<trabix::TKeyValue> AsKeyValue(const trabix::TChannelKey& key, const QJsonValue& v)
{
    switch (key.Type) {
        case trabix::TKeyType::Bool:
            if (v.isBool())
                return v.toBool();
            if (v.isDouble() && (v.toDouble() == 0 || v.toDouble() == 1))
                return v.toDouble() == 1;
            return std::nullopt;
        case trabix::TKeyType::Text:
            if (v.isString())
                return v.toString().toStdString();
            return std::nullopt;
        case trabix::TKeyType::Integer: break;
    }
    if (!v.isDouble())
        return std::nullopt;
    const double d = v.toDouble();
    if (std::trunc(d) != d || d < INT32_MIN || d > INT32_MAX)
        return std::nullopt;
    return static_cast<std::int32_t>(d);
}

}  // namespace

QJsonObject ChannelObject(int channel, const trabix::TPM_port& port, TChannelSet& channels)
{
    QJsonObject settings;
    for (const trabix::TChannelKey& key : trabix::ChannelKeys())
        settings.insert(QString::fromStdString(key.Name), KeyValue(port, key));
    QJsonObject object{{"channel", channel}, {"settings", settings}};
    TqvMappedPortTCP* server = channels.Server(channel);
    const bool listening = channels.Listening(channel);
    object.insert("listening", listening);
    object.insert("port", listening ? QJsonValue(channels.BoundPort(channel)) : QJsonValue());
    object.insert("reachableFromOtherMachines", channels.ReachableFromOtherMachines(channel));
    if (server)
        object.insert("counters", Counters(*server));
    return object;
}

namespace {

// What a TLS leg negotiated, or null for a leg without TLS.
QJsonValue TlsFacts(const std::string& facts)
{
    return facts.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(facts));
}

}  // namespace

QJsonObject ConnectionObject(const TConnectionSnapshot& c)
{
    QJsonObject object{
        {"id", QString::number(c.Id)},
        {"channel", c.Channel},
        {"client", Endpoint(c.Client)},
        {"target", c.Target.IP.empty() ? QJsonValue() : QJsonValue(Endpoint(c.Target))},
        {"state", QString::fromStdString(ConnectionStateText(c))},
        {"open", c.State != TConnectionState::Ended},
        {"opened", Time(c.Opened)},
        {"ended", c.Ended ? Time(*c.Ended) : QJsonValue()},
        {"bytesCS", static_cast<qint64>(c.BytesCS)},
        {"bytesSC", static_cast<qint64>(c.BytesSC)},
        {"tlsClient", TlsFacts(c.TlsClient)},
        {"tlsTarget", TlsFacts(c.TlsTarget)},
    };
    return object;
}

bool ApplyChannelPatch(const QJsonObject& body, TChannelPatch& patch, std::string& error)
{
    for (auto it = body.begin(); it != body.end(); ++it) {
        const std::string name = it.key().toStdString();
        const trabix::TChannelKey* key = trabix::FindChannelKey(name);
        if (!key) {
            error = "unknown key " + name + ": a channel takes the keys of its settings section";
            return false;
        }
        const std::optional<trabix::TKeyValue> value = AsKeyValue(*key, it.value());
        const bool pickPort = key->Name == "ListenPort" && value &&
            std::get<std::int32_t>(*value) == 0;
        if (pickPort) {
            patch.PickPort = true;
            continue;
        }
        if (!value || !trabix::WriteChannelKey(patch.Port, *key, *value)) {
            error = key->Name + " takes " + RangeText(*key);
            return false;
        }
        if (key->Name == "ListenPort")
            patch.PickPort = false;
    }
    return true;
}

namespace {

bool IsFileKey(const trabix::TChannelKey& key)
{
    return key.Type == trabix::TKeyType::Text && key.Name.ends_with("File");
}

// The path with every symbolic link of its existing part resolved; a relative path counts
// from the working directory, as the program opens it.
std::filesystem::path Resolved(const std::string& path)
{
    std::error_code error;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(path, error);
    return error ? std::filesystem::path() : resolved;
}

bool Within(const std::filesystem::path& file, const std::filesystem::path& folder)
{
    if (file.empty() || folder.empty())
        return false;
    const auto [end, _] = std::mismatch(folder.begin(), folder.end(), file.begin(), file.end());
    return end == folder.end() && file != folder;
}

}  // namespace

bool FileKeysWithin(const QJsonObject& body, const std::vector<std::string>& folders,
                    std::string& error)
{
    for (auto it = body.begin(); it != body.end(); ++it) {
        const trabix::TChannelKey* key = trabix::FindChannelKey(it.key().toStdString());
        if (!key || !IsFileKey(*key) || !it.value().isString())
            continue;
        const std::string value = it.value().toString().toStdString();
        if (value.empty())
            continue;
        const std::filesystem::path file = Resolved(value);
        const bool allowed = std::any_of(folders.begin(), folders.end(), [&](std::string f) {
            while (f.size() > 1 && f.back() == '/')
                f.pop_back();
            return Within(file, Resolved(f));
        });
        if (!allowed) {
            error = key->Name + " takes, through the API, only a file in";
            for (size_t i = 0; i < folders.size(); ++i)
                error += (i == 0 ? " " : " or ") + folders[i];
            return false;
        }
    }
    return true;
}

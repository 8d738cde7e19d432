#include "app/api/ControlApi.h"

#include "app/api/ApiFace.h"
#include "app/api/ApiToken.h"
#include "app/api/ChannelJson.h"
#include "app/api/Metrics.h"
#include "app/startup/ChannelSet.h"
#include "app/startup/ProgramStartup.h"

#include "config/ProgramPaths.h"
#include "config/pm_config.h"
#include "engine/qv_IdMappedPortTCP.h"

#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QUrlQuery>

#include <algorithm>
#include <filesystem>
#include <optional>

// What a request is answered: status, body and its type, and for a 405 the methods allowed.
struct TApiAnswer {
    int Status = 200;
    QByteArray Body;
    QByteArray Type = "application/json";
    QByteArray Allow;
};

struct TControlApi::TPendingAnswer {
    std::unique_ptr<QHttpServerResponder> Responder;
    QPointer<QTcpSocket> Socket;
    int Channel = 0;
    QElapsedTimer Since;
};

namespace {

// How long a PATCH waits for the relay pool to hand its connections to threads of their own.
constexpr qint64 TakeDeadlineMs = 10000;
// At most one line about refused tokens in this time.
constexpr qint64 RefusalLineMs = 10000;

TApiAnswer Json(const QJsonObject& object, int status = 200)
{
    return {status, QJsonDocument(object).toJson(QJsonDocument::Compact), "application/json", {}};
}

TApiAnswer Error(int status, const std::string& message)
{
    return Json(QJsonObject{{"error", QString::fromStdString(message)}, {"status", status}},
                status);
}

TApiAnswer WrongMethod(const char* allowed)
{
    TApiAnswer answer = Error(405, std::string("method not allowed here; allowed: ") + allowed);
    answer.Allow = allowed;
    return answer;
}

// Channel N of the path, or nullopt for anything but 1 to 8.
std::optional<int> ChannelNumber(const QString& text)
{
    bool ok = false;
    const int n = text.toInt(&ok);
    if (!ok || n < 1 || n > trabix::ChannelCount)
        return std::nullopt;
    return n;
}

std::string NoChannelText(const QString& text)
{
    return "no channel " + text.toStdString() + ": channels are numbered 1 to " +
        std::to_string(trabix::ChannelCount);
}

std::optional<std::uint64_t> ConnectionId(const QString& text)
{
    bool ok = false;
    const qulonglong id = text.toULongLong(&ok);
    return ok ? std::optional<std::uint64_t>(id) : std::nullopt;
}

// The folders a request may name files in: the settings file's and the log folder.
std::vector<std::string> OwnFolders()
{
    std::string logs = trabix::LogDirectory();
    if (logs.empty())
        logs = std::filesystem::current_path().string();
    return {trabix::SettingsFolder(), logs};
}

// Every condition of the record off; chance and seed stay, they change nothing alone.
bool TurnConditionsOff(trabix::TPM_port& port)
{
    bool changed = false;
    for (std::int32_t* value :
         {&port.LatencyCS, &port.LatencySC, &port.JitterCS, &port.JitterSC, &port.ResetAfterCS,
          &port.ResetAfterSC, &port.StallAfterCS, &port.StallAfterSC}) {
        changed = changed || *value != 0;
        *value = 0;
    }
    return changed;
}

}  // namespace

TControlApi::TControlApi(TApiFace& face, std::string token, QObject* parent)
    : QAbstractHttpServer(parent), Face(face), Token(std::move(token))
{
    PendingTimer.setInterval(1);
    connect(&PendingTimer, &QTimer::timeout, this, &TControlApi::ServePending);
}

TControlApi::~TControlApi() = default;

quint16 TControlApi::Listen(const TApiAddress& address, std::string& why)
{
    const quint16 port = listen(address.Address, address.Port);
    if (port == 0)
        why = "cannot listen on " + ApiAddressText(address.Address, address.Port);
    return port;
}

bool TControlApi::Authorized(const QHttpServerRequest& request)
{
    const QByteArray header = request.value("Authorization");
    static const QByteArray Scheme = "Bearer ";
    if (!header.startsWith(Scheme))
        return false;
    return SameToken(header.mid(Scheme.size()).trimmed().toStdString(), Token);
}

void TControlApi::LogRefusedToken(const QHttpServerRequest& request)
{
    if (LastRefusalLine.isValid() && LastRefusalLine.elapsed() < RefusalLineMs) {
        ++RefusalsHeldBack;
        return;
    }
    std::string text = "Control API: refused a request without a valid token from " +
        request.remoteAddress().toString().toStdString();
    if (RefusalsHeldBack > 0)
        text += " (" + std::to_string(RefusalsHeldBack) + " more refused since the last line)";
    Face.Log(text);
    LastRefusalLine.start();
    RefusalsHeldBack = 0;
}

bool TControlApi::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    // The answer leaves in several writes (status line, headers, body): without this the
    // last may wait for the client's delayed acknowledgement.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    QHttpServerResponder responder = makeResponder(request, socket);
    if (!Authorized(request)) {
        LogRefusedToken(request);
        Send(responder, Error(401, "a valid \"Authorization: Bearer <token>\" is needed; the "
                                   "token is in the file api-token beside the settings file"));
        return true;
    }
    if (request.body().size() > MaxBody) {
        Send(responder, Error(413, "the body is larger than 1 MiB"));
        return true;
    }
    int waitForChannel = 0;
    const TApiAnswer answer = Route(request, waitForChannel);
    if (waitForChannel == 0 || Face.Channels().LiveSettingsTaken(waitForChannel)) {
        Send(responder, answer);
        return true;
    }
    auto pending = std::make_unique<TPendingAnswer>();
    pending->Responder = std::make_unique<QHttpServerResponder>(std::move(responder));
    pending->Socket = socket;
    pending->Channel = waitForChannel;
    pending->Since.start();
    Pending.push_back(std::move(pending));
    PendingTimer.start();
    return true;
}

void TControlApi::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    QHttpServerResponder responder = makeResponder(request, socket);
    Send(responder, Error(404, "no such resource"));
}

void TControlApi::Send(QHttpServerResponder& responder, const TApiAnswer& answer)
{
    const auto status = static_cast<QHttpServerResponder::StatusCode>(answer.Status);
    if (answer.Allow.isEmpty())
        responder.write(answer.Body, {{"Content-Type", answer.Type}}, status);
    else
        responder.write(answer.Body, {{"Content-Type", answer.Type}, {"Allow", answer.Allow}},
                        status);
}

// The answers of PATCH requests whose channel's pool still hands connections to threads.
void TControlApi::ServePending()
{
    for (auto it = Pending.begin(); it != Pending.end();) {
        TPendingAnswer& p = **it;
        const bool taken = Face.Channels().LiveSettingsTaken(p.Channel);
        if (!taken && p.Since.elapsed() < TakeDeadlineMs) {
            ++it;
            continue;
        }
        if (p.Socket) {
            Send(*p.Responder, taken ? ChannelAnswer(p.Channel)
                                     : Error(503, "the channel's open connections did not all "
                                                  "take the settings within 10 s"));
        }
        it = Pending.erase(it);
    }
    if (Pending.empty())
        PendingTimer.stop();
}

TApiAnswer TControlApi::Route(const QHttpServerRequest& request, int& waitForChannel)
{
    using M = QHttpServerRequest::Method;
    const QStringList path = request.url().path().split(QLatin1Char('/'), Qt::SkipEmptyParts);
    const M method = request.method();
    if (path == QStringList{"metrics"}) {
        if (method != M::Get)
            return WrongMethod("GET");
        return {200, QByteArray::fromStdString(MetricsText(Face.Channels(), Face.Settings())),
                "text/plain; version=0.0.4; charset=utf-8", {}};
    }
    if (path.size() < 2 || path[0] != "v1")
        return Error(404, "no such resource: " + request.url().path().toStdString());
    if (path[1] == "channels")
        return ChannelRequest(request, path, waitForChannel);
    if (path[1] == "connections")
        return ConnectionRequest(request, path);
    if (path.size() == 2 && path[1] == "reset")
        return method == M::Post ? Reset() : WrongMethod("POST");
    if (path.size() == 3 && path[1] == "settings" && path[2] == "save")
        return method == M::Post ? Save() : WrongMethod("POST");
    return Error(404, "no such resource: " + request.url().path().toStdString());
}

TApiAnswer TControlApi::ChannelRequest(const QHttpServerRequest& request, const QStringList& path,
                                       int& waitForChannel)
{
    using M = QHttpServerRequest::Method;
    const M method = request.method();
    if (path.size() == 2) {
        if (method != M::Get)
            return WrongMethod("GET");
        QJsonArray list;
        for (int n = 1; n <= trabix::ChannelCount; ++n)
            list.append(ChannelObject(n, Face.Settings().Port(n), Face.Channels()));
        return Json(QJsonObject{{"channels", list}});
    }
    const std::optional<int> channel = ChannelNumber(path[2]);
    if (!channel)
        return Error(404, NoChannelText(path[2]));
    if (path.size() == 3) {
        if (method == M::Get)
            return ChannelAnswer(*channel);
        if (method == M::Patch)
            return Patch(*channel, request.body(), waitForChannel);
        return WrongMethod("GET, PATCH");
    }
    static const QStringList Verbs{"start", "stop", "restart"};
    if (path.size() == 4 && Verbs.contains(path[3]))
        return method == M::Post ? Control(*channel, path[3]) : WrongMethod("POST");
    return Error(404, "no such resource: " + request.url().path().toStdString());
}

TApiAnswer TControlApi::ConnectionRequest(const QHttpServerRequest& request,
                                          const QStringList& path)
{
    using M = QHttpServerRequest::Method;
    const M method = request.method();
    if (path.size() == 2)
        return method == M::Get ? Connections(request) : WrongMethod("GET");
    const std::optional<std::uint64_t> id = ConnectionId(path[2]);
    if (!id)
        return Error(404, "no connection " + path[2].toStdString());
    const QUrlQuery query(request.url());
    if (path.size() == 3) {
        if (method != M::Delete)
            return WrongMethod("DELETE");
        return CloseConnection(*id, query.queryItemValue("reset") == "1");
    }
    if (path.size() == 4 && path[3] == "stream") {
        if (method != M::Get)
            return WrongMethod("GET");
        return Stream(*id, query.hasQueryItem("dir") ? query.queryItemValue("dir") : "both");
    }
    return Error(404, "no such resource: " + request.url().path().toStdString());
}

TApiAnswer TControlApi::ChannelAnswer(int channel, int status)
{
    return Json(ChannelObject(channel, Face.Settings().Port(channel), Face.Channels()), status);
}

// Checks the whole body before anything is applied: a request with one bad key changes
// nothing. The record then changes at once and the channel takes it as the window's edits do.
TApiAnswer TControlApi::Patch(int channel, const QByteArray& body, int& waitForChannel)
{
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return Error(400, "malformed JSON: " + parseError.errorString().toStdString());
    if (!document.isObject())
        return Error(400, "the body must be a JSON object of setting keys and values");
    trabix::TPM_port& record = Face.Settings().Port(channel);
    TChannelPatch patch{record, false};
    std::string problem;
    if (!ApplyChannelPatch(document.object(), patch, problem) ||
        !FileKeysWithin(document.object(), OwnFolders(), problem))
        return Error(400, problem);

    const trabix::TPM_port previous = record;
    record = patch.Port;
    if (patch.PickPort)
        record.ListenPort = 0;
    TChannelSet& channels = Face.Channels();
    const size_t errorsBefore = channels.Errors().size();
    channels.ApplyChange(channel, previous);
    if (patch.PickPort)
        record.ListenPort = channels.Listening(channel) ? channels.BoundPort(channel)
                                                        : previous.ListenPort;
    Face.ChannelChanged(channel);
    if (record.Map && !channels.Listening(channel) && channels.Errors().size() > errorsBefore)
        return Error(409, channels.Errors().back());
    waitForChannel = channel;
    return ChannelAnswer(channel);
}

TApiAnswer TControlApi::Control(int channel, const QString& verb)
{
    TChannelSet& channels = Face.Channels();
    trabix::TPM_port& record = Face.Settings().Port(channel);
    if (verb == "stop") {
        channels.Stop(channel);
        Face.ChannelStateChanged(channel);
        return ChannelAnswer(channel);
    }
    // A channel listens only with Map checked: starting it checks Map, as the window's row.
    if (!record.Map) {
        record.Map = true;
        Face.ChannelChanged(channel);
    }
    const size_t errorsBefore = channels.Errors().size();
    if (verb == "restart")
        channels.Stop(channel);
    channels.Start(channel);
    Face.ChannelStateChanged(channel);
    if (!channels.Listening(channel))
        return Error(409, channels.Errors().size() > errorsBefore
                              ? channels.Errors().back()
                              : "channel " + std::to_string(channel) + " did not start");
    return ChannelAnswer(channel);
}

// Quick with any number of connections: the conditions are live settings (one atomic word
// each) and the counters atomics; no connection is waited for.
TApiAnswer TControlApi::Reset()
{
    for (int n = 1; n <= trabix::ChannelCount; ++n) {
        trabix::TPM_port& record = Face.Settings().Port(n);
        const trabix::TPM_port previous = record;
        if (!TurnConditionsOff(record))
            continue;
        Face.Channels().ApplyChange(n, previous);
        Face.ChannelChanged(n);
    }
    Face.Channels().ResetCounters();
    return Json(QJsonObject{{"reset", true}});
}

TApiAnswer TControlApi::Save()
{
    if (!Face.SaveSettings())
        return Error(500, "could not write the settings file " + trabix::ConfigFileName());
    return Json(QJsonObject{{"saved", QString::fromStdString(trabix::ConfigFileName())}});
}

TApiAnswer TControlApi::Connections(const QHttpServerRequest& request)
{
    const QUrlQuery query(request.url());
    int only = 0;
    if (query.hasQueryItem("channel")) {
        const std::optional<int> channel = ChannelNumber(query.queryItemValue("channel"));
        if (!channel)
            return Error(400, NoChannelText(query.queryItemValue("channel")));
        only = *channel;
    }
    const QString state = query.queryItemValue("state");
    if (!state.isEmpty() && state != "open" && state != "ended")
        return Error(400, "state takes open or ended");
    std::vector<TConnectionSnapshot> all;
    for (int n = 1; n <= trabix::ChannelCount; ++n) {
        const TqvMappedPortTCP* server = Face.Channels().Server(n);
        if (!server || (only != 0 && n != only))
            continue;
        for (TConnectionSnapshot& c : server->ConnectionSnapshot()) {
            const bool open = c.State != TConnectionState::Ended;
            if (state.isEmpty() || (state == "open") == open)
                all.push_back(std::move(c));
        }
    }
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.Id < b.Id; });
    QJsonArray list;
    for (const TConnectionSnapshot& c : all)
        list.append(ConnectionObject(c));
    return Json(QJsonObject{{"connections", list}});
}

TApiAnswer TControlApi::CloseConnection(std::uint64_t id, bool reset)
{
    for (int n = 1; n <= trabix::ChannelCount; ++n) {
        TqvMappedPortTCP* server = Face.Channels().Server(n);
        if (!server || !server->FindConnection(id))
            continue;
        if (!server->CloseConnection(id, reset))
            return Error(409, "connection " + std::to_string(id) + " has ended already");
        return Json(QJsonObject{{"id", QString::number(id)}, {"reset", reset}});
    }
    return Error(404, "no connection " + std::to_string(id));
}

TApiAnswer TControlApi::Stream(std::uint64_t id, const QString& dir)
{
    std::optional<TRelayDirection> direction;
    if (dir == "cs")
        direction = TRelayDirection::ClientToServer;
    else if (dir == "sc")
        direction = TRelayDirection::ServerToClient;
    else if (dir != "both")
        return Error(400, "dir takes cs, sc or both");
    for (int n = 1; n <= trabix::ChannelCount; ++n) {
        const TqvMappedPortTCP* server = Face.Channels().Server(n);
        const auto record = server ? server->FindConnection(id) : nullptr;
        if (!record)
            continue;
        if (!server->Capture.Get() && record->Capture().Held() == 0)
            return Error(404, "channel " + std::to_string(n) +
                                  " has no capture: set Capture to true to keep the bytes of "
                                  "its connections");
        const TCaptureCopy copy = record->Capture().CopyFrom(0);
        return {200, QByteArray::fromStdString(JoinedBytes(copy.Pieces, direction)),
                "application/octet-stream", {}};
    }
    return Error(404, "no connection " + std::to_string(id));
}

std::unique_ptr<TControlApi> StartControlApi(TApiFace& face, const std::string& listenText)
{
    const std::string text = ApiListenInForce(listenText);
    if (text.empty())
        return nullptr;
    TApiAddress address;
    std::string why;
    if (!ParseApiAddress(text, address, why)) {
        face.Log("Control API: not started: " + why);
        return nullptr;
    }
    const std::string tokenPath = ApiTokenPath();
    std::string token;
    if (!LoadOrCreateApiToken(tokenPath, token, why)) {
        face.Log("Control API: not started: token file " + why);
        return nullptr;
    }
    auto api = std::make_unique<TControlApi>(face, token);
    const quint16 port = api->Listen(address, why);
    if (port == 0) {
        face.Log("Control API: not started: " + why);
        return nullptr;
    }
    face.Log("Control API listening on http://" + ApiAddressText(address.Address, port) +
             "/ (token in " + tokenPath + ")");
    if (!address.Address.isLoopback())
        face.Log("Control API: listening on " + address.Address.toString().toStdString() +
                 ", reachable from other machines");
    return api;
}

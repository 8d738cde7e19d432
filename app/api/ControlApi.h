// TControlApi: the control API of the program, HTTP/JSON on one listening address, and the
// metrics page. Every request needs "Authorization: Bearer <token>" (the token of
// "api-token" beside the settings file); it acts on the channel set of the face it serves,
// the way that face's own controls do, and tells the face of every change.
//
//   GET    /v1/channels                 GET, PATCH /v1/channels/N
//   POST   /v1/channels/N/start|stop|restart
//   POST   /v1/reset                    POST /v1/settings/save
//   GET    /v1/connections[?channel=N&state=open]
//   DELETE /v1/connections/ID[?reset=1] GET /v1/connections/ID/stream?dir=cs|sc|both
//   GET    /metrics
//
// How to use it: the face makes one after its channel set, calls Listen, and destroys it
// before the channel set. docs/api.yaml describes the requests and answers.
//
// Threads: everything here runs on the main thread, in its event loop: a request is served
// between two events of the window or the twin and takes a few milliseconds at most. A PATCH
// whose live settings the relay pool must first hand to threads of the channel's own answers
// from a timer once that is done, so the main thread never waits for it.
#pragma once

#include "app/api/ApiAddress.h"

#include <QAbstractHttpServer>
#include <QElapsedTimer>
#include <QHttpServerResponder>
#include <QPointer>
#include <QTimer>

#include <memory>
#include <string>
#include <vector>

class QHttpServerRequest;
class QTcpSocket;
class TApiFace;
struct TApiAnswer;

class TControlApi : public QAbstractHttpServer {
    Q_OBJECT
public:
    // The largest request body taken; a larger one is answered 413.
    static constexpr qsizetype MaxBody = 1024 * 1024;

    TControlApi(TApiFace& face, std::string token, QObject* parent = nullptr);
    ~TControlApi() override;

    // Listens on Address; returns the port (the chosen one for port 0), or 0 with Why.
    quint16 Listen(const TApiAddress& address, std::string& why);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct TPendingAnswer;

    bool Authorized(const QHttpServerRequest& request);
    void LogRefusedToken(const QHttpServerRequest& request);
    TApiAnswer Route(const QHttpServerRequest& request, int& waitForChannel);
    TApiAnswer ChannelRequest(const QHttpServerRequest& request, const QStringList& path,
                              int& waitForChannel);
    TApiAnswer ConnectionRequest(const QHttpServerRequest& request, const QStringList& path);
    TApiAnswer Patch(int channel, const QByteArray& body, int& waitForChannel);
    TApiAnswer Control(int channel, const QString& verb);
    TApiAnswer Reset();
    TApiAnswer Save();
    TApiAnswer Connections(const QHttpServerRequest& request);
    TApiAnswer CloseConnection(std::uint64_t id, bool reset);
    TApiAnswer Stream(std::uint64_t id, const QString& dir);
    TApiAnswer ChannelAnswer(int channel, int status = 200);
    void Send(QHttpServerResponder& responder, const TApiAnswer& answer);
    void ServePending();

    TApiFace& Face;
    const std::string Token;
    // When the last line about a refused token was logged, and how many were held back since.
    QElapsedTimer LastRefusalLine;
    int RefusalsHeldBack = 0;
    std::vector<std::unique_ptr<TPendingAnswer>> Pending;
    QTimer PendingTimer;
};

// The face's control API as its settings and the command line ask for it: nullptr when it is
// off, or when it cannot start (the reason then logged through the face). Logs the listening
// line with the token file's path, and a warning when the address is not a loopback one.
std::unique_ptr<TControlApi> StartControlApi(TApiFace& face, const std::string& listenText);

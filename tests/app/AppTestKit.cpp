#include "AppTestKit.h"

#include "pm_config.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QTest>

#include <arpa/inet.h>
#include <cctype>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace apptest {

bool WaitFor(const std::function<bool()> &done, int timeoutMs)
{
    return QTest::qWaitFor(done, timeoutMs);
}

bool TScriptedPrompts::AskYesNo(QWidget *, const QString &text)
{
    Questions << text;
    if (Answers.empty())
        return true;
    const bool answer = Answers.front();
    Answers.pop_front();
    return answer;
}

QString TScriptedPrompts::AskSaveFileName(QWidget *, const QString &folder, const QString &suffix)
{
    SaveFolder = folder;
    SaveSuffix = suffix;
    return SaveName;
}

TSandbox::TSandbox() : OldCwd(QDir::currentPath())
{
    QDir::setCurrent(Dir.path());
    trabix::OverrideConfigFileName(IniPath().toStdString());
}

TSandbox::~TSandbox()
{
    trabix::OverrideConfigFileName("");
    QDir::setCurrent(OldCwd);
}

QString TSandbox::IniPath() const
{
    return Dir.filePath(QStringLiteral("Trabix.ini"));
}

void TSandbox::WriteIni(const QString &text) const
{
    QFile file(IniPath());
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(text.toUtf8());
}

QString TSandbox::ReadIni() const
{
    QFile file(IniPath());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString TSandbox::TodaysLog() const
{
    QFile file(Dir.filePath(QDate::currentDate().toString(QStringLiteral("yyyyMMdd")) + ".log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

namespace {

int ListenLoopback(int &port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        if (fd >= 0)
            ::close(fd);
        port = 0;
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

} // namespace

TUpperCaseServer::TUpperCaseServer()
{
    ListenFd = ListenLoopback(ListenPort);
    Thread = std::thread([this] { Run(); });
}

TUpperCaseServer::~TUpperCaseServer()
{
    Stop = true;
    Thread.join();
    if (ListenFd >= 0)
        ::close(ListenFd);
}

// One thread serves every connection with poll; it wakes every 50 ms to notice Stop.
void TUpperCaseServer::Run()
{
    std::vector<pollfd> fds{{ListenFd, POLLIN, 0}};
    while (!Stop) {
        if (::poll(fds.data(), fds.size(), 50) <= 0)
            continue;
        for (size_t i = fds.size(); i-- > 0;) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            if (i == 0) {
                const int conn = ::accept4(ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
                if (conn >= 0)
                    fds.push_back({conn, POLLIN, 0});
                continue;
            }
            char buf[65536];
            const ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, 0);
            if (n <= 0) {
                ::close(fds[i].fd);
                fds.erase(fds.begin() + long(i));
                continue;
            }
            for (ssize_t k = 0; k < n; ++k)
                buf[k] = char(std::toupper(static_cast<unsigned char>(buf[k])));
            for (ssize_t sent = 0; sent < n;) {
                const ssize_t m = ::send(fds[i].fd, buf + sent, size_t(n - sent), MSG_NOSIGNAL);
                if (m <= 0)
                    break;
                sent += m;
            }
        }
    }
    for (size_t i = 1; i < fds.size(); ++i)
        ::close(fds[i].fd);
}

TClient::TClient(int port)
{
    Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(uint16_t(port));
    if (::connect(Fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        Close();
}

TClient::~TClient()
{
    Close();
}

bool TClient::Send(const std::string &data)
{
    return Fd >= 0 && ::send(Fd, data.data(), data.size(), MSG_NOSIGNAL) == ssize_t(data.size());
}

std::string TClient::Receive(size_t n, int timeoutMs)
{
    WaitFor(
        [&] {
            char buf[65536];
            ssize_t got;
            while (Fd >= 0 && (got = ::recv(Fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
                Buffer.append(buf, size_t(got));
            return Buffer.size() >= n;
        },
        timeoutMs);
    std::string out = Buffer.substr(0, std::min(n, Buffer.size()));
    Buffer.erase(0, out.size());
    return out;
}

void TClient::Close()
{
    if (Fd >= 0)
        ::close(Fd);
    Fd = -1;
}

int FreePort()
{
    // The socket that took the port stays bound (SO_REUSEADDR, never listening) until the
    // process ends: the program binds beside it (it sets SO_REUSEADDR too), while a bind to
    // port 0 anywhere else skips the port, so a test running in parallel cannot take it
    // between this choice and the program's bind. A port held so refuses connections.
    static std::vector<int> held;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        if (fd >= 0)
            ::close(fd);
        return 0;
    }
    held.push_back(fd);
    return ntohs(addr.sin_port);
}

} // namespace apptest

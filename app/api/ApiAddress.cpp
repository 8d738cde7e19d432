#include "app/api/ApiAddress.h"

#include <charconv>

namespace {

std::string& ListenOverride()
{
    static std::string text;
    return text;
}

bool ParsePort(const std::string& text, quint16& port)
{
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [last, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || last != end || value > 65535)
        return false;
    port = static_cast<quint16>(value);
    return true;
}

}  // namespace

bool ParseApiAddress(const std::string& text, TApiAddress& address, std::string& why)
{
    std::string host;
    std::string port = text;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
    }
    TApiAddress parsed;
    if (!ParsePort(port, parsed.Port)) {
        why = "'" + text + "' is not [ADDR:]PORT with a port of 0 to 65535";
        return false;
    }
    if (!host.empty() && !parsed.Address.setAddress(QString::fromStdString(host))) {
        why = "'" + host + "' is not an IP address";
        return false;
    }
    address = parsed;
    return true;
}

void OverrideApiListen(const std::string& text)
{
    ListenOverride() = text;
}

std::string ApiListenInForce(const std::string& fromSettings)
{
    return ListenOverride().empty() ? fromSettings : ListenOverride();
}

std::string ApiAddressText(const QHostAddress& address, quint16 port)
{
    const std::string host = address.toString().toStdString();
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

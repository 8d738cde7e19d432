// Where the control API listens: "[address:]port" as --api and ApiListen give it. The address
// is 127.0.0.1 unless given ("[::1]:port" for an IPv6 address); port 0 lets the system choose.
#pragma once

#include <QHostAddress>

#include <string>

struct TApiAddress {
    QHostAddress Address{QHostAddress::LocalHost};
    quint16 Port = 0;
};

// False, with Why saying what is wrong, when the text is not "[address:]port".
bool ParseApiAddress(const std::string& text, TApiAddress& address, std::string& why);

// The text --api takes over ApiListen of the settings when it is not empty. Main thread, before
// a face starts.
void OverrideApiListen(const std::string& text);
// The listen text in force: the command line's, else the settings' (empty: the API is off).
std::string ApiListenInForce(const std::string& fromSettings);

// "127.0.0.1:8080", "[::1]:8080".
std::string ApiAddressText(const QHostAddress& address, quint16 port);

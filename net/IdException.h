// The exception family of the network layer. Everything the layer raises derives from
// EIdException, which carries the message text (also returned by what()).
//
//   EIdException
//     EIdSocketError (LastError)          a socket call failed
//     EIdInvalidSocket                    no socket could be created
//     EIdSocketHandleError
//       EIdCouldNotBindSocket             bind found the address and port in use
//     EIdSilentException
//       EIdConnClosedGracefully           an operation found its socket closed
//     EIdClosedSocket                     (never raised; peer threads swallow it)
//     EIdStackError
//       EIdStackSetSizeExceeded           more than 64 sockets in one Select
//       EIdStackInitializationFailed      (never raised on POSIX)
//     EIdStackCanNotLoadWinsock           (never raised on POSIX)
//     EIdTCPConnectionError
//       EIdNotEnoughDataInBuffer
//     EIdAlreadyConnected
//     EIdTCPServerError
//       EIdNoExecuteSpecified
//     EIdThreadMgrError
//       EIdThreadClassNotSpecified
#pragma once

#include <stdexcept>
#include <string>

class EIdException : public std::runtime_error {
public:
    explicit EIdException(const std::string& AMessage) : std::runtime_error(AMessage) {}
    std::string Message() const { return what(); }
};

// Carries the socket error number of the layer's table (10004..10066, host lookups 11001..
// 11004, anything else its own errno); the message is TIdStack::ErrorText(LastError).
class EIdSocketError : public EIdException {
public:
    explicit EIdSocketError(int ALastError);
    EIdSocketError(int ALastError, const std::string& AMessage)
        : EIdException(AMessage), FLastError(ALastError)
    {}
    int LastError() const { return FLastError; }

private:
    int FLastError;
};

// A connect given up because the connection it was made for has gone: its peer closed or reset
// it before the target answered (TIdTCPClient::SetWatchWhileConnecting). Error 10053.
class EIdConnectAbandoned : public EIdSocketError {
public:
    EIdConnectAbandoned() : EIdSocketError(10053) {}
};

class EIdInvalidSocket : public EIdException {
public:
    EIdInvalidSocket() : EIdException("Cannot allocate socket.") {}
};

class EIdSocketHandleError : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdCouldNotBindSocket : public EIdSocketHandleError {
public:
    EIdCouldNotBindSocket()
        : EIdSocketHandleError("Could not bind socket. Address and port are already in use.")
    {}
};

class EIdSilentException : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdConnClosedGracefully : public EIdSilentException {
public:
    EIdConnClosedGracefully() : EIdSilentException("Connection Closed Gracefully.") {}
};

class EIdClosedSocket : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdStackError : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdStackSetSizeExceeded : public EIdStackError {
public:
    EIdStackSetSizeExceeded() : EIdStackError("Set Size Exceeded.") {}
};

class EIdStackInitializationFailed : public EIdStackError {
public:
    EIdStackInitializationFailed() : EIdStackError("Winsock Initialization Error.") {}
};

class EIdStackCanNotLoadWinsock : public EIdException {
public:
    explicit EIdStackCanNotLoadWinsock(const std::string& AFileName)
        : EIdException(AFileName + " could not be loaded.")
    {}
};

class EIdTCPConnectionError : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdNotEnoughDataInBuffer : public EIdTCPConnectionError {
public:
    EIdNotEnoughDataInBuffer() : EIdTCPConnectionError("Not enough data in buffer.") {}
};

class EIdAlreadyConnected : public EIdException {
public:
    EIdAlreadyConnected() : EIdException("Already connected.") {}
};

class EIdTCPServerError : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdNoExecuteSpecified : public EIdTCPServerError {
public:
    EIdNoExecuteSpecified() : EIdTCPServerError("No execute handler found.") {}
};

class EIdThreadMgrError : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdThreadClassNotSpecified : public EIdThreadMgrError {
public:
    EIdThreadClassNotSpecified() : EIdThreadMgrError("Thread Class Not Specified.") {}
};

// The general conversion error of a text that is not an integer; not part of the EId family.
class EConvertError : public std::runtime_error {
public:
    explicit EConvertError(const std::string& AMessage) : std::runtime_error(AMessage) {}
};

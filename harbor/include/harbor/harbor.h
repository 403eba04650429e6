// harbor: the log and the sockets of TalkHub.
//
// Sockets are created by CTSocketService and owned by it. A user installs callbacks and,
// when done, installs empty functions in their place; once every callback of a socket is
// empty, harbor closes and frees the socket itself. Guarantees:
//  - callbacks of one socket never run at the same time;
//  - clearing a callback from a thread other than the loop thread returns only when no
//    call of it is running, and no call starts afterwards;
//  - clearing from inside a callback of the same socket takes effect at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#if defined(_WIN32)
#if defined(HARBOR_BUILDING)
#define HARBOR_API __declspec(dllexport)
#else
#define HARBOR_API __declspec(dllimport)
#endif
// MinGW's own printf family (C99 formats), which vsnprintf is in C++ there.
#define HARBOR_PRINTF __attribute__((format(gnu_printf, 2, 3)))
#else
#define HARBOR_API __attribute__((visibility("default")))
#define HARBOR_PRINTF __attribute__((format(printf, 2, 3)))
#endif

namespace harbor {

// Daily log files kept in a log folder; older ones are removed.
inline constexpr std::size_t kLogDaysKept = 30;

// Opens the log in folder `path` (created with its parents). Files rotate daily and are
// named after the last path element: "<path>/<name>_YYYY-MM-DD.log"; the newest
// kLogDaysKept stay. `synchronous` true writes on the caller's thread and flushes at error
// level; false hands lines to a background thread and flushes every second. False when the
// folder or today's file cannot be made or written: the log stays as it was. Logging before
// logInit or after logShutdown is dropped silently.
HARBOR_API bool logInit(const std::string& path, bool synchronous);
// Writes everything logged so far to the file.
HARBOR_API void logFlush();
// Flushes and closes the log.
HARBOR_API void logShutdown();

HARBOR_API void logInfo(const char* tag, const char* format, ...) HARBOR_PRINTF;
HARBOR_API void logWarning(const char* tag, const char* format, ...) HARBOR_PRINTF;
HARBOR_API void logError(const char* tag, const char* format, ...) HARBOR_PRINTF;
HARBOR_API void logDebug(const char* tag, const char* format, ...) HARBOR_PRINTF;

class HARBOR_API CTSocketAddress {
public:
    CTSocketAddress() = default;
    CTSocketAddress(const std::string& host, unsigned int port);

    void setAddress(const std::string& host);
    void setPort(unsigned int port);
    const std::string& address() const { return host_; }
    unsigned int port() const { return port_; }
    // False for an empty host, a port of 0 or above 65535, or a host that is neither an
    // IPv4/IPv6 literal nor a name that resolves.
    bool isValid() const;
    // 4 or 6 for an IPv4 or IPv6 literal; 0 for a host name or anything else.
    int literalFamily() const;
    // An IP literal written as harbor writes the senders of received datagrams (so that the
    // two compare as text); empty for anything else.
    std::string canonicalAddress() const;

private:
    std::string host_;
    unsigned int port_ = 0;
};

class ITcpSocket;
class IUdpSocket;

// A connect's failures, as its callback reports them.
inline constexpr int kConnectNameNotResolved = -1;
inline constexpr int kConnectFailed = -2;  // refused, no route, or no answer in time
inline constexpr int kConnectClosed = -3;  // closed before the connection was made

using TcpConnectCallback = std::function<void(ITcpSocket*, int)>;
using TcpDataCallback = std::function<int(ITcpSocket*, int, const void*)>;
using UdpReceiveCallback = std::function<int(IUdpSocket*, int, const void*, const CTSocketAddress&)>;

class HARBOR_API ITcpSocket {
public:
    // Closes the connection; the data callback then reports the close once.
    virtual void close() = 0;
    // Called once on the loop thread with 0 or one of the kConnect* failures.
    virtual void setConnectCallback(const TcpConnectCallback& callback) = 0;
    // Called on the loop thread with each received chunk; a length <= 0 reports, once,
    // that the connection closed or broke. The result is ignored.
    virtual void setDataCallback(const TcpDataCallback& callback) = 0;
    // Queues bytes for sending, from any thread, in order. Returns the length queued, or
    // negative when the socket is closed or its send queue is full.
    virtual int send(const void* data, int length) = 0;
    // A peer that stops acknowledging what is sent (gone without closing: a cut link, a
    // machine switched off) breaks the connection once data has waited this long, reported
    // as any break is; without it the system retries for many minutes. From any thread;
    // takes effect once connected.
    virtual void setUnacknowledgedLimit(unsigned int milliseconds) = 0;

protected:
    virtual ~ITcpSocket() = default;
};

class HARBOR_API IUdpSocket {
public:
    // Called on the loop thread once per datagram.
    virtual void setReceiveCallback(const UdpReceiveCallback& callback) = 0;
    // Sends one datagram, from any thread. Returns the length sent, or negative for a bad
    // address or once the socket was released or the service stopped.
    virtual int sendTo(const CTSocketAddress& to, const void* data, int length) = 0;

protected:
    virtual ~IUdpSocket() = default;
};

class HARBOR_API CTSocketService {
public:
    static CTSocketService& instance();

    // Starts the network loop on a thread of its own and returns at once. The arguments
    // are accepted for compatibility: `block` true runs the loop on the caller's thread
    // until stop(); the thread count is always 1. A second call while running does nothing.
    int messageLoop(bool block, int threads);
    // Closes every socket, ends the loop and joins its thread. Safe to repeat; the
    // service can be started again afterwards.
    void stop();
    bool running() const;

    // Negative at once for an invalid address or a stopped loop (out stays null).
    // Otherwise sets *out and connects in the background; the connect callback follows.
    int tcpConnect(const CTSocketAddress& server, ITcpSocket** out);
    // Binds a UDP socket synchronously; *out stays null when the address cannot be had.
    int newUdpInstance(const CTSocketAddress& local, IUdpSocket** out);

    // Number of sockets harbor still holds (for tests and diagnostics).
    std::size_t socketCount() const;

    CTSocketService(const CTSocketService&) = delete;
    CTSocketService& operator=(const CTSocketService&) = delete;

private:
    CTSocketService();
    ~CTSocketService();
    struct Impl;
    Impl* impl_;
};

}  // namespace harbor

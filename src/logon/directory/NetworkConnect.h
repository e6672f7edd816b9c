#pragma once

#include <QString>

#include <chrono>

namespace quorvane {

// Owns a socket descriptor until it is handed over with release().
class Socket
{
public:
    Socket() = default;
    explicit Socket(int fd)
        : m_fd(fd)
    {}
    Socket(Socket&& other) noexcept
        : m_fd(other.release())
    {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket();

    int fd() const { return m_fd; }
    int release();

private:
    int m_fd = -1;
};

struct ConnectAttempt
{
    Socket socket; // connected, or -1
    bool unresolved = false;
    QString reason; // why not, in a few words
};

// Connects to host:port, trying each resolved address until `deadline`. libldap's own connect
// reports a refused port, an unknown name and a timeout alike, so we connect ourselves and say
// which. The socket stays non-blocking, as libldap expects of an asynchronous connection, and
// every blocking read or write on it later gives up after `timeout`.
ConnectAttempt attemptTcp(const QString& host, int port, std::chrono::milliseconds timeout,
                          std::chrono::steady_clock::time_point deadline);
// The description of a failed attempt, naming the server.
QString describeAttempt(const QString& host, bool ipv6, int port, const ConnectAttempt& attempt);
// attemptTcp with `timeout` for the whole connection; throws Failure with the description.
Socket connectTcp(const QString& host, bool ipv6, int port, std::chrono::milliseconds timeout);

// Waits until fd is readable (or writable) or the deadline passes; false on timeout.
bool waitForSocket(int fd, bool forWriting, std::chrono::steady_clock::time_point deadline);

// "10 seconds", "1.5 seconds", "1 second".
QString durationText(std::chrono::milliseconds duration);

} // namespace quorvane

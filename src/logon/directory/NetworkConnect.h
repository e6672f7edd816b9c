#pragma once

#include <QString>

#include <chrono>
#include <sys/socket.h>
#include <vector>

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

// One resolved address of a server, kept so a second connection reaches the same machine
// without asking the DNS again.
struct PeerAddress
{
    sockaddr_storage address {};
    socklen_t length = 0;
    int family = AF_UNSPEC;
    int protocol = 0;
};

struct ConnectAttempt
{
    Socket socket; // connected, or -1
    PeerAddress peer; // the address connected to
    bool unresolved = false;
    QString reason; // why not, in a few words
    std::chrono::steady_clock::duration resolving {}; // of the time it took, the name lookup's
};

// Tries `candidates` in turn until `attempt(candidate, index, fairEnd)` says it is done (returns
// true) or `deadline` passes; a candidate whose turn comes too late goes to `late` instead. fairEnd
// gives each one an equal share of the time left, so a silent first one cannot use up the others'.
template <typename Candidates, typename Attempt, typename Late>
bool tryInTurn(const Candidates& candidates, std::chrono::steady_clock::time_point deadline, Attempt attempt,
               Late late)
{
    for (std::size_t index = 0; index < candidates.size(); ++index) {
        const auto now = std::chrono::steady_clock::now();
        const auto left = deadline - now;
        if (left.count() <= 0) {
            late(candidates[index]);
            continue;
        }
        if (attempt(candidates[index], index, now + left / static_cast<int>(candidates.size() - index))) {
            return true;
        }
    }
    return false;
}

// Connects to host:port by `deadline`, name resolution included. libldap's own connect reports a
// refused port, an unknown name and a timeout alike, so we connect ourselves and say which. Each
// address gets an equal share of the time left, so a silent first address cannot use up the
// time of a working second one. The socket stays non-blocking, as libldap expects of an
// asynchronous connection, and every blocking read or write on it later gives up after `timeout`.
ConnectAttempt attemptTcp(const QString& host, int port, std::chrono::milliseconds timeout,
                          std::chrono::steady_clock::time_point deadline);
// The addresses of host:port (at most eight), resolved by `deadline` as attemptTcp does; empty with
// `problem` set when there are none.
std::vector<PeerAddress> resolveAddresses(const QString& host, int port,
                                          std::chrono::steady_clock::time_point deadline, QString& problem);
// The address as digits, for descriptions and facts.
QString numericAddress(const PeerAddress& peer);
// Connects again to an address attemptTcp found; throws Failure naming `where` when it cannot.
Socket connectAgain(const PeerAddress& peer, const QString& where, std::chrono::milliseconds timeout);

// Waits until fd is readable (or writable) or the deadline passes; false on timeout. The socket is
// looked at at least once, even when the deadline has already passed.
bool waitForSocket(int fd, bool forWriting, std::chrono::steady_clock::time_point deadline);

// Sends or receives exactly `count` bytes on a non-blocking socket by the deadline; false when the
// peer closed, failed or stayed silent.
bool sendExactly(int fd, const char* bytes, qsizetype count, std::chrono::steady_clock::time_point deadline);
bool receiveExactly(int fd, char* into, qsizetype count, std::chrono::steady_clock::time_point deadline);

} // namespace quorvane

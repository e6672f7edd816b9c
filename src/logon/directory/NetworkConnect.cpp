#include "NetworkConnect.h"

#include "DescriptionText.h"
#include "Failure.h"
#include "LdapPath.h"
#include "Release.h"

#include <QStringList>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quorvane {

namespace {

using AddressList = std::unique_ptr<addrinfo, Release<freeaddrinfo>>;

constexpr std::size_t maxAddressesTried = 8;

QString errnoText(int error)
{
    switch (error) {
    case ECONNREFUSED:
        return QStringLiteral("connection refused (nothing listens on that port)");
    case ENETUNREACH:
        return QStringLiteral("network unreachable");
    case EHOSTUNREACH:
        return QStringLiteral("host unreachable");
    case ETIMEDOUT:
        return QStringLiteral("no answer in time");
    default:
        return QString::fromUtf8(std::strerror(error));
    }
}

using Clock = std::chrono::steady_clock;

// A lookup in flight belongs to two owners: the caller, and glibc's notification when it ends.
// The last one to let go frees it, so a caller that gave up on a silent DNS leaves nothing behind.
struct PendingLookup
{
    QByteArray name;
    QByteArray service;
    addrinfo hints {};
    gaicb request {};
    std::atomic<int> owners { 2 };
};

void letGo(PendingLookup* lookup)
{
    if (lookup->owners.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        if (lookup->request.ar_result) {
            freeaddrinfo(lookup->request.ar_result);
        }
        delete lookup;
    }
}

void lookupEnded(sigval value)
{
    letGo(static_cast<PendingLookup*>(value.sival_ptr));
}

QString secondsText(Clock::duration allowed)
{
    return durationText(std::max(std::chrono::round<std::chrono::seconds>(allowed), std::chrono::seconds(1)));
}

struct Resolution
{
    AddressList addresses;
    QString problem; // empty when resolved
};

// getaddrinfo with the resolver's own timeouts can take minutes against silent name servers.
Resolution resolve(const QString& host, int port, Clock::time_point deadline)
{
    const Clock::time_point started = Clock::now();
    auto lookup = std::make_unique<PendingLookup>();
    lookup->name = host.toUtf8();
    lookup->service = QByteArray::number(port);
    lookup->hints.ai_family = AF_UNSPEC;
    lookup->hints.ai_socktype = SOCK_STREAM;
    lookup->hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    // An address literal needs no DNS, and no thread to wait for it.
    addrinfo* literal = nullptr;
    if (getaddrinfo(lookup->name.constData(), lookup->service.constData(), &lookup->hints, &literal) == 0) {
        return { AddressList { literal }, {} };
    }
    lookup->hints.ai_flags = AI_NUMERICSERV;
    lookup->request.ar_name = lookup->name.constData();
    lookup->request.ar_service = lookup->service.constData();
    lookup->request.ar_request = &lookup->hints;
    sigevent ended {};
    ended.sigev_notify = SIGEV_THREAD;
    ended.sigev_notify_function = lookupEnded;
    ended.sigev_value.sival_ptr = lookup.get();
    gaicb* requests[] = { &lookup->request };
    // From here glibc may hold the request, and its notification may come, even when queueing
    // reports a failure: the lookup is never freed on this side alone.
    PendingLookup* pending = lookup.release();
    const int queued = getaddrinfo_a(GAI_NOWAIT, requests, 1, &ended);
    if (queued != 0) {
        return { nullptr, QString::fromUtf8(gai_strerror(queued)) };
    }
    int state = gai_error(&pending->request);
    while (state == EAI_INPROGRESS) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        const timespec wait { static_cast<time_t>(left.count() / 1000000000),
                              static_cast<long>(left.count() % 1000000000) };
        gai_suspend(requests, 1, &wait);
        state = gai_error(&pending->request);
    }
    Resolution resolution;
    if (state == 0) {
        resolution.addresses.reset(std::exchange(pending->request.ar_result, nullptr));
    } else if (state == EAI_INPROGRESS) {
        resolution.problem = QStringLiteral("the DNS lookup of its address did not answer within %1")
                                 .arg(secondsText(deadline - started));
    } else {
        // EAI_SYSTEM's errno belongs to glibc's lookup thread, not to this one.
        resolution.problem = QString::fromUtf8(gai_strerror(state));
    }
    letGo(pending);
    return resolution;
}

PeerAddress peerOf(const addrinfo& address)
{
    PeerAddress peer;
    peer.length = std::min<socklen_t>(address.ai_addrlen, sizeof peer.address);
    std::memcpy(&peer.address, address.ai_addr, peer.length);
    peer.family = address.ai_family;
    peer.protocol = address.ai_protocol;
    return peer;
}

// Empty on success, else why this address could not be reached.
// `deadline` bounds the connection; `timeout`, every later read and write on the socket.
QString tryConnect(const PeerAddress& peer, Clock::time_point deadline, std::chrono::milliseconds timeout,
                   Socket& out)
{
    Socket candidate { ::socket(peer.family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, peer.protocol) };
    if (candidate.fd() < 0) {
        return errnoText(errno);
    }
    if (::connect(candidate.fd(), reinterpret_cast<const sockaddr*>(&peer.address), peer.length) != 0) {
        if (errno != EINPROGRESS) {
            return errnoText(errno);
        }
        if (!waitForSocket(candidate.fd(), true, deadline)) {
            return QStringLiteral("no answer in time");
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(candidate.fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            error = errno;
        }
        if (error != 0) {
            return errnoText(error);
        }
    }
    // Small requests and answers: without this, Nagle and delayed ACKs add 40 ms after the TLS handshake.
    const int noDelay = 1;
    setsockopt(candidate.fd(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    // libldap turns the socket back to blocking during TLS handshakes; these bound every read and
    // write made then, so a server that stops mid-record cannot hold the check forever.
    timeval patience {};
    patience.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    patience.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    setsockopt(candidate.fd(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    setsockopt(candidate.fd(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    out = std::move(candidate);
    return {};
}

} // namespace

Socket& Socket::operator=(Socket&& other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = other.release();
    }
    return *this;
}

Socket::~Socket()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

int Socket::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

bool waitForSocket(int fd, bool forWriting, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const auto left = std::max(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       deadline - std::chrono::steady_clock::now()),
                                   std::chrono::milliseconds(0));
        pollfd watched { fd, static_cast<short>(forWriting ? POLLOUT : POLLIN), 0 };
        const int ready =
            ::poll(&watched, 1, static_cast<int>(std::min<long long>(left.count(), 1000 * 60 * 60)));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return true; // let the following read or write report the error
        }
        if (left.count() == 0) {
            return false;
        }
    }
}

bool sendExactly(int fd, const char* bytes, qsizetype count, std::chrono::steady_clock::time_point deadline)
{
    for (qsizetype sent = 0; sent < count;) {
        if (!waitForSocket(fd, true, deadline)) {
            return false;
        }
        const ssize_t done = ::send(fd, bytes + sent, static_cast<size_t>(count - sent), MSG_NOSIGNAL);
        if (done < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (done <= 0) {
            return false;
        }
        sent += done;
    }
    return true;
}

bool receiveExactly(int fd, char* into, qsizetype count, std::chrono::steady_clock::time_point deadline)
{
    for (qsizetype got = 0; got < count;) {
        if (!waitForSocket(fd, false, deadline)) {
            return false;
        }
        const ssize_t done = ::recv(fd, into + got, static_cast<size_t>(count - got), 0);
        if (done < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (done <= 0) {
            return false;
        }
        got += done;
    }
    return true;
}

std::vector<PeerAddress> resolveAddresses(const QString& host, int port, Clock::time_point deadline,
                                          QString& problem)
{
    const Resolution resolution = resolve(host, port, deadline);
    problem = resolution.problem;
    std::vector<PeerAddress> peers;
    for (const addrinfo* address = resolution.addresses.get(); address && peers.size() < maxAddressesTried;
         address = address->ai_next) {
        peers.push_back(peerOf(*address));
    }
    return peers;
}

QString numericAddress(const PeerAddress& peer)
{
    char text[NI_MAXHOST] = {};
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&peer.address), peer.length, text, sizeof text, nullptr,
                    0, NI_NUMERICHOST)
        != 0) {
        return QStringLiteral("?");
    }
    return QString::fromUtf8(text);
}

ConnectAttempt attemptTcp(const QString& host, int port, std::chrono::milliseconds timeout,
                          Clock::time_point deadline)
{
    ConnectAttempt attempt;
    QString problem;
    const Clock::time_point started = Clock::now();
    const std::vector<PeerAddress> peers = resolveAddresses(host, port, deadline, problem);
    attempt.resolving = Clock::now() - started;
    if (!problem.isEmpty()) {
        attempt.unresolved = true;
        attempt.reason = problem;
        return attempt;
    }
    QStringList reasons;
    QString onlyReason;
    const auto connectTo = [&](const PeerAddress& peer, std::size_t, Clock::time_point fairEnd) {
        const QString reason = tryConnect(peer, fairEnd, timeout, attempt.socket);
        if (reason.isEmpty()) {
            attempt.peer = peer;
            return true;
        }
        const QString numeric = numericAddress(peer);
        onlyReason = numeric == host ? reason : QString();
        reasons.append(QStringLiteral("%1: %2").arg(numeric, reason));
        return false;
    };
    const auto late = [&](const PeerAddress& peer) {
        onlyReason.clear();
        reasons.append(QStringLiteral("%1: not tried, out of time").arg(numericAddress(peer)));
    };
    if (tryInTurn(peers, deadline, connectTo, late)) {
        return attempt;
    }
    // A literal address needs no "address: reason" pairs; a name may have resolved to several.
    attempt.reason = reasons.size() == 1 && !onlyReason.isEmpty() ? onlyReason : reasons.join(u"; ");
    return attempt;
}

Socket connectAgain(const PeerAddress& peer, const QString& where, std::chrono::milliseconds timeout)
{
    Socket socket;
    const QString reason = tryConnect(peer, Clock::now() + timeout, timeout, socket);
    if (!reason.isEmpty()) {
        throw Failure(
            QStringLiteral("Could not connect to the directory server %1 again: %2.").arg(where, reason));
    }
    return socket;
}

} // namespace quorvane

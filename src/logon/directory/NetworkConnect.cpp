#include "NetworkConnect.h"

#include "DescriptionText.h"
#include "Failure.h"
#include "LdapPath.h"
#include "Release.h"

#include <QStringList>

#include <cerrno>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorvane {

namespace {

using AddressList = std::unique_ptr<addrinfo, Release<freeaddrinfo>>;

constexpr int maxAddressesTried = 8;

QString numericAddress(const addrinfo& address)
{
    char text[NI_MAXHOST] = {};
    if (getnameinfo(address.ai_addr, address.ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST)
        != 0) {
        return QStringLiteral("?");
    }
    return QString::fromUtf8(text);
}

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

// Empty on success, else why this address could not be reached.
// `deadline` bounds the connection; `timeout`, every later read and write on the socket.
QString tryConnect(const addrinfo& address, std::chrono::steady_clock::time_point deadline,
                   std::chrono::milliseconds timeout, Socket& out)
{
    Socket candidate { ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                address.ai_protocol) };
    if (candidate.fd() < 0) {
        return errnoText(errno);
    }
    if (::connect(candidate.fd(), address.ai_addr, address.ai_addrlen) != 0) {
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
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd watched { fd, static_cast<short>(forWriting ? POLLOUT : POLLIN), 0 };
        const int ready =
            ::poll(&watched, 1, static_cast<int>(std::min<long long>(left.count(), 1000 * 60 * 60)));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return true; // let the following read or write report the error
        }
    }
}

QString durationText(std::chrono::milliseconds duration)
{
    const auto count = duration.count();
    if (count % 1000 == 0) {
        return count == 1000 ? QStringLiteral("1 second") : QStringLiteral("%1 seconds").arg(count / 1000);
    }
    return QStringLiteral("%1 seconds").arg(static_cast<double>(count) / 1000.0);
}

ConnectAttempt attemptTcp(const QString& host, int port, std::chrono::milliseconds timeout,
                          std::chrono::steady_clock::time_point deadline)
{
    ConnectAttempt attempt;
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    const QByteArray name = host.toUtf8();
    const QByteArray service = QByteArray::number(port);
    addrinfo* raw = nullptr;
    const int resolved = getaddrinfo(name.constData(), service.constData(), &hints, &raw);
    const AddressList addresses { raw };
    if (resolved != 0) {
        attempt.unresolved = true;
        attempt.reason = resolved == EAI_SYSTEM ? QString::fromUtf8(std::strerror(errno))
                                                : QString::fromUtf8(gai_strerror(resolved));
        return attempt;
    }
    QStringList reasons;
    QString onlyReason;
    int tried = 0;
    for (const addrinfo* address = addresses.get(); address && tried < maxAddressesTried;
         address = address->ai_next, ++tried) {
        const QString reason = tryConnect(*address, deadline, timeout, attempt.socket);
        if (reason.isEmpty()) {
            return attempt;
        }
        const QString numeric = numericAddress(*address);
        onlyReason = numeric == host ? reason : QString();
        reasons.append(QStringLiteral("%1: %2").arg(numeric, reason));
    }
    // A literal address needs no "address: reason" pairs; a name may have resolved to several.
    attempt.reason = reasons.size() == 1 && !onlyReason.isEmpty() ? onlyReason : reasons.join(u"; ");
    return attempt;
}

QString describeAttempt(const QString& host, bool ipv6, int port, const ConnectAttempt& attempt)
{
    if (attempt.unresolved) {
        return QStringLiteral("The directory server name \"%1\" could not be resolved: %2.")
            .arg(quoteForDescription(host, 100), attempt.reason);
    }
    return QStringLiteral("Could not connect to the directory server %1: %2.")
        .arg(endpointText(host, ipv6, port), attempt.reason);
}

Socket connectTcp(const QString& host, bool ipv6, int port, std::chrono::milliseconds timeout)
{
    ConnectAttempt attempt = attemptTcp(host, port, timeout, std::chrono::steady_clock::now() + timeout);
    if (attempt.socket.fd() < 0) {
        throw Failure(describeAttempt(host, ipv6, port, attempt));
    }
    return std::move(attempt.socket);
}

} // namespace quorvane

#pragma once

#include <QByteArray>

#include <arpa/inet.h>
#include <atomic>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quorvane::test {

// A loopback listener that misbehaves on purpose and records what clients sent it.
class FakeLdapServer
{
public:
    enum class Behaviour
    {
        Silent, // accepts and never answers
        CloseAtOnce, // accepts and closes
        RefuseStartTls, // answers the first request with protocolError, then stays silent
        CloseAfterRequest, // reads the first bytes (a TLS hello or a bind), then closes
        Garbage, // answers the first request with text that is not LDAP
        AnswerBind, // answers every bind with the result code and diagnostic given
    };

    explicit FakeLdapServer(Behaviour behaviour, int resultCode = 0, QByteArray diagnostic = {})
        : m_behaviour(behaviour)
        , m_resultCode(resultCode)
        , m_diagnostic(std::move(diagnostic))
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int reuse = 1;
        setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listener, 16);
        socklen_t length = sizeof address;
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { run(); });
    }

    ~FakeLdapServer()
    {
        m_stop = true;
        m_thread.join();
        for (const int fd : m_clients) {
            ::close(fd);
        }
        ::close(m_listener);
    }

    FakeLdapServer(const FakeLdapServer&) = delete;
    FakeLdapServer& operator=(const FakeLdapServer&) = delete;

    int port() const { return m_port; }
    int connections() const { return m_connections; }
    QByteArray received() const
    {
        const std::lock_guard lock(m_mutex);
        return m_received;
    }

    // The protocol-operation tags of the LDAP messages received, in order (0x60 is a bind request).
    std::vector<unsigned char> operations() const
    {
        const QByteArray bytes = received();
        std::vector<unsigned char> tags;
        qsizetype at = 0;
        while (at + 2 <= bytes.size() && static_cast<unsigned char>(bytes[at]) == 0x30) {
            qsizetype length = static_cast<unsigned char>(bytes[at + 1]);
            qsizetype header = 2;
            if ((length & 0x80) != 0) {
                const qsizetype octets = length & 0x7f;
                length = 0;
                for (qsizetype i = 0; i < octets && at + 2 + i < bytes.size(); ++i) {
                    length = (length << 8) | static_cast<unsigned char>(bytes[at + 2 + i]);
                }
                header += octets;
            }
            const qsizetype idLength =
                at + header + 1 < bytes.size() ? static_cast<unsigned char>(bytes[at + header + 1]) : 0;
            const qsizetype opAt = at + header + 2 + idLength;
            if (opAt < bytes.size()) {
                tags.push_back(static_cast<unsigned char>(bytes[opAt]));
            }
            at += header + length;
        }
        return tags;
    }

private:
    void run()
    {
        while (!m_stop) {
            std::vector<pollfd> watched { { m_listener, POLLIN, 0 } };
            for (const int fd : m_clients) {
                watched.push_back({ fd, POLLIN, 0 });
            }
            if (::poll(watched.data(), watched.size(), 20) <= 0) {
                continue;
            }
            if ((watched[0].revents & POLLIN) != 0) {
                const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (client >= 0) {
                    ++m_connections;
                    if (m_behaviour == Behaviour::CloseAtOnce) {
                        ::close(client);
                    } else {
                        m_clients.push_back(client);
                    }
                }
            }
            for (std::size_t i = 1; i < watched.size(); ++i) {
                if ((watched[i].revents & (POLLIN | POLLHUP)) != 0) {
                    serve(watched[i].fd);
                }
            }
        }
    }

    static QByteArray tlv(unsigned char tag, const QByteArray& content)
    {
        QByteArray encoded(1, static_cast<char>(tag));
        if (content.size() < 0x80) {
            encoded.append(static_cast<char>(content.size()));
        } else {
            QByteArray length;
            for (qsizetype left = content.size(); left > 0; left >>= 8) {
                length.prepend(static_cast<char>(left & 0xff));
            }
            encoded.append(static_cast<char>(0x80 | length.size()));
            encoded.append(length);
        }
        return encoded + content;
    }

    // An LDAPResult-shaped response: result code, empty matched DN, diagnostic.
    static QByteArray response(char messageId, unsigned char operation, int code,
                               const QByteArray& diagnostic)
    {
        const QByteArray result =
            tlv(0x0a, QByteArray(1, static_cast<char>(code))) + tlv(0x04, {}) + tlv(0x04, diagnostic);
        return tlv(0x30, tlv(0x02, QByteArray(1, messageId)) + tlv(operation, result));
    }

    static void sendAll(int fd, const QByteArray& bytes)
    {
        for (qsizetype sent = 0; sent < bytes.size();) {
            const ssize_t done = ::send(fd, bytes.constData() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (done <= 0) {
                return;
            }
            sent += done;
        }
    }

    void serve(int fd)
    {
        char buffer[4096];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got <= 0) {
            return;
        }
        bool first = false;
        {
            const std::lock_guard lock(m_mutex);
            first = m_received.isEmpty();
            m_received.append(buffer, got);
        }
        // Requests from libldap are small: the id is byte 4 and the operation tag byte 5.
        const char messageId = got > 5 ? buffer[4] : 1;
        const unsigned char operation = got > 5 ? static_cast<unsigned char>(buffer[5]) : 0;
        switch (m_behaviour) {
        case Behaviour::RefuseStartTls:
            if (first) {
                sendAll(fd, response(messageId, 0x78, 2, {}));
            }
            break;
        case Behaviour::CloseAfterRequest:
            ::shutdown(fd, SHUT_RDWR);
            break;
        case Behaviour::Garbage:
            if (first) {
                sendAll(fd, QByteArrayLiteral("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n"));
            }
            break;
        case Behaviour::AnswerBind:
            if (operation == 0x60) {
                sendAll(fd, response(messageId, 0x61, m_resultCode, m_diagnostic));
            }
            break;
        case Behaviour::Silent:
        case Behaviour::CloseAtOnce:
            break;
        }
    }

    Behaviour m_behaviour;
    int m_resultCode;
    QByteArray m_diagnostic;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop { false };
    std::atomic<int> m_connections { 0 };
    std::vector<int> m_clients;
    mutable std::mutex m_mutex;
    QByteArray m_received;
    std::thread m_thread;
};

} // namespace quorvane::test

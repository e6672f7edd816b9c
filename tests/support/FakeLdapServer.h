#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
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
        ResetAfterRequest, // reads the first bytes, then resets the connection
        StallAfterOneByte, // answers the first request with one byte, then stays silent
        Garbage, // answers the first request with text that is not LDAP
        AnswerBind, // an Active Directory server answering every bind with the result code and diagnostic
                    // given
        HugeAnswer, // answers the first request with a message announced as 2 GB, streamed slowly
        EndlessEntries, // accepts any bind, then answers a search with entries that never end
        DnOnly, // binds only dnOnlyUser and answers 49 with no text for any other name, as 389 DS does;
                // searches find the root entry (not Active Directory), dnOnlyUser, or the base itself
        // Claims to be the domain controller the diagnostic names (default dc1.corp.test, realm
        // CORP.TEST), offering GSS-SPNEGO, but is not:
        SaslEarlySuccess, // answers the first SASL bind with success and no token
        GssapiEarlySuccess, // the same, as a slapd that names no realm and offers GSSAPI
        SaslFakeNtlm, // an NTLM challenge, then success; later answers unsigned
        SaslSlowNtlm, // an NTLM challenge every round, each after resultCode milliseconds
    };

    static constexpr const char* dnOnlyUser = "uid=ana,ou=Users,ou=HQ,dc=example,dc=com";

    explicit FakeLdapServer(Behaviour behaviour, int resultCode = 0, QByteArray diagnostic = {})
        : m_behaviour(behaviour)
        , m_resultCode(resultCode)
        , m_diagnostic(std::move(diagnostic))
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || ::listen(m_listener, 16) != 0
            || getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("the fake LDAP server could not listen on loopback");
        }
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { run(); });
    }

    ~FakeLdapServer()
    {
        m_stop = true;
        m_thread.join();
        for (const auto& [fd, client] : m_clients) {
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
            const auto [length, header] = readLength(bytes, at + 1);
            const qsizetype idAt = at + 1 + header; // INTEGER tag of the message id
            if (idAt + 1 >= bytes.size()) {
                break;
            }
            const qsizetype opAt = idAt + 2 + static_cast<unsigned char>(bytes[idAt + 1]);
            if (opAt < bytes.size()) {
                tags.push_back(static_cast<unsigned char>(bytes[opAt]));
            }
            at += 1 + header + length;
        }
        return tags;
    }

private:
    struct Client
    {
        QByteArray received; // this connection's bytes not yet taken as whole messages
        bool answered = false;
        int binds = 0;
    };

    // A BER length at `at`: its value and how many bytes it took (1 for short form).
    static std::pair<qsizetype, qsizetype> readLength(const QByteArray& bytes, qsizetype at)
    {
        if (at >= bytes.size()) {
            return { 0, 1 };
        }
        const auto first = static_cast<unsigned char>(bytes[at]);
        if ((first & 0x80) == 0) {
            return { first, 1 };
        }
        const qsizetype octets = first & 0x7f;
        quint64 value = 0;
        for (qsizetype i = 0; i < octets && i < 8 && at + 1 + i < bytes.size(); ++i) {
            value = (value << 8) | static_cast<unsigned char>(bytes[at + 1 + i]);
        }
        return { static_cast<qsizetype>(std::min<quint64>(value, 1u << 30)), 1 + octets };
    }

    static QByteArray tlv(unsigned char tag, const QByteArray& content)
    {
        QByteArray encoded(1, static_cast<char>(tag));
        if (content.size() < 0x80) {
            encoded.append(static_cast<char>(content.size()));
        } else {
            QByteArray length;
            for (quint64 left = static_cast<quint64>(content.size()); left > 0; left >>= 8) {
                length.prepend(static_cast<char>(left & 0xff));
            }
            encoded.append(static_cast<char>(0x80 | length.size()));
            encoded.append(length);
        }
        return encoded + content;
    }

    static QByteArray message(unsigned char messageId, unsigned char operation, const QByteArray& content)
    {
        return tlv(0x30, tlv(0x02, QByteArray(1, static_cast<char>(messageId))) + tlv(operation, content));
    }

    // An LDAPResult-shaped response: result code, empty matched DN, diagnostic.
    static QByteArray response(unsigned char messageId, unsigned char operation, int code,
                               const QByteArray& diagnostic)
    {
        return message(messageId, operation,
                       tlv(0x0a, QByteArray(1, static_cast<char>(code))) + tlv(0x04, {})
                           + tlv(0x04, diagnostic));
    }

    bool sendAll(int fd, const QByteArray& bytes) const
    {
        for (qsizetype sent = 0; sent < bytes.size();) {
            const ssize_t done = ::send(fd, bytes.constData() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !m_stop) {
                continue;
            }
            if (done <= 0) {
                return false;
            }
            sent += done;
        }
        return true;
    }

    void run()
    {
        while (!m_stop) {
            std::vector<pollfd> watched { { m_listener, POLLIN, 0 } };
            for (const auto& [fd, client] : m_clients) {
                watched.push_back({ fd, POLLIN, 0 });
            }
            if (::poll(watched.data(), watched.size(), 20) <= 0) {
                continue;
            }
            if ((watched[0].revents & POLLIN) != 0) {
                const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    ++m_connections;
                    // A client that stops reading must not wedge this thread in send().
                    const timeval patience { 0, 200 * 1000 };
                    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
                    if (m_behaviour == Behaviour::CloseAtOnce) {
                        ::close(fd);
                    } else {
                        m_clients[fd] = Client {};
                    }
                }
            }
            for (std::size_t i = 1; i < watched.size(); ++i) {
                if ((watched[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !serve(watched[i].fd)) {
                    ::close(watched[i].fd);
                    m_clients.erase(watched[i].fd);
                }
            }
        }
    }

    // Handles what arrived on one connection; false when it is over and should be closed.
    bool serve(int fd)
    {
        char buffer[4096];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got <= 0) {
            return false;
        }
        {
            const std::lock_guard lock(m_mutex);
            m_received.append(buffer, got);
        }
        Client& client = m_clients[fd];
        client.received.append(buffer, got);
        const bool first = !client.answered;
        client.answered = true;
        switch (m_behaviour) {
        case Behaviour::CloseAfterRequest:
            return false;
        case Behaviour::ResetAfterRequest: {
            const linger abort { 1, 0 };
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            return false;
        }
        case Behaviour::StallAfterOneByte:
            return !first
                || sendAll(
                    fd, QByteArray(1, static_cast<char>(client.received.startsWith('\x30') ? 0x30 : 0x16)));
        case Behaviour::Garbage:
            return !first
                || sendAll(fd, QByteArrayLiteral("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n"));
        case Behaviour::HugeAnswer:
            return !first || streamHugeAnswer(fd);
        default:
            break;
        }
        if (m_behaviour == Behaviour::SaslFakeNtlm && client.binds > 1
            && !client.received.startsWith('\x30')) {
            // A signed request it cannot read: answered in the clear, as a server without the key would.
            client.received.clear();
            return sendAll(fd, response(3, 0x65, 0, {}));
        }
        // Whole LDAP messages from here on: the id is one byte in libldap's first requests.
        while (client.received.size() >= 2 && client.received.startsWith('\x30')) {
            const auto [length, header] = readLength(client.received, 1);
            if (client.received.size() < 1 + header + length) {
                break;
            }
            const QByteArray request = client.received.left(1 + header + length);
            client.received.remove(0, request.size());
            const qsizetype idAt = 1 + header;
            if (idAt + 3 >= request.size()) {
                continue;
            }
            const auto messageId = static_cast<unsigned char>(request[idAt + 2]);
            const auto operation = static_cast<unsigned char>(request[idAt + 3]);
            if (!answer(fd, messageId, operation, first, children(request, idAt + 3))) {
                return false;
            }
        }
        return true;
    }

    // The values of the elements directly inside the element at `at`.
    static std::vector<QByteArray> children(const QByteArray& bytes, qsizetype at)
    {
        std::vector<QByteArray> values;
        const auto [length, header] = readLength(bytes, at + 1);
        const qsizetype end = std::min(at + 1 + header + length, bytes.size());
        for (qsizetype child = at + 1 + header; child + 1 < end;) {
            const auto [size, octets] = readLength(bytes, child + 1);
            values.push_back(bytes.mid(child + 1 + octets, size));
            child += 1 + octets + size;
        }
        return values;
    }

    static QByteArray attribute(const char* name, const char* value)
    {
        return tlv(0x30, tlv(0x04, name) + tlv(0x31, tlv(0x04, value)));
    }

    bool answerRootEntry(int fd, unsigned char messageId, const QByteArray& attributes)
    {
        return sendAll(fd,
                       message(messageId, 0x64, tlv(0x04, {}) + tlv(0x30, attributes))
                           + response(messageId, 0x65, 0, {}));
    }

    bool answerDnOnly(int fd, unsigned char messageId, unsigned char operation,
                      const std::vector<QByteArray>& fields)
    {
        if (operation == 0x60 && fields.size() >= 2) {
            return sendAll(fd, response(messageId, 0x61, fields[1] == dnOnlyUser ? 0 : 49, {}));
        }
        if (operation != 0x63 || fields.size() < 2) {
            return true;
        }
        const QByteArray& base = fields[0];
        if (base.isEmpty()) {
            return answerRootEntry(fd, messageId, attribute("namingContexts", "dc=example,dc=com"));
        }
        const QByteArray entry = fields[1] == QByteArray(1, 2)
            ? tlv(0x04, dnOnlyUser) + tlv(0x30, {})
            : tlv(0x04, base) + tlv(0x30, attribute("objectClass", "organizationalUnit"));
        return sendAll(fd, message(messageId, 0x64, entry) + response(messageId, 0x65, 0, {}));
    }

    bool answer(int fd, unsigned char messageId, unsigned char operation, bool first,
                const std::vector<QByteArray>& fields)
    {
        switch (m_behaviour) {
        case Behaviour::RefuseStartTls:
            return !first || sendAll(fd, response(messageId, 0x78, 2, {}));
        case Behaviour::AnswerBind:
            if (operation == 0x63) {
                return answerRootEntry(fd, messageId,
                                       attribute("supportedCapabilities", "1.2.840.113556.1.4.800"));
            }
            return operation != 0x60 || sendAll(fd, response(messageId, 0x61, m_resultCode, m_diagnostic));
        case Behaviour::EndlessEntries:
            if (operation == 0x60) {
                return sendAll(fd, response(messageId, 0x61, 0, {}));
            }
            return operation != 0x63 || streamEntries(fd, messageId);
        case Behaviour::DnOnly:
            return answerDnOnly(fd, messageId, operation, fields);
        case Behaviour::SaslEarlySuccess:
        case Behaviour::GssapiEarlySuccess:
        case Behaviour::SaslFakeNtlm:
        case Behaviour::SaslSlowNtlm:
            return answerRogueSasl(fd, messageId, operation, m_clients[fd]);
        default:
            return true;
        }
    }

    // An SPNEGO answer: the negotiation state, NTLM as the chosen mechanism, and its token.
    static QByteArray negotiationAnswer(int state, const QByteArray& token)
    {
        const QByteArray ntlm = QByteArray::fromHex("060a2b06010401823702020a");
        QByteArray fields = tlv(0xa0, tlv(0x0a, QByteArray(1, static_cast<char>(state))));
        if (!token.isEmpty()) {
            fields += tlv(0xa1, ntlm) + tlv(0xa2, tlv(0x04, token));
        }
        return tlv(0xa1, tlv(0x30, fields));
    }

    // An NTLM CHALLENGE offering signing and sealing, with a domain and a host name.
    static QByteArray ntlmChallenge()
    {
        const auto utf16 = [](const char* text) {
            QByteArray bytes;
            for (const char* c = text; *c; ++c) {
                bytes += *c;
                bytes += '\0';
            }
            return bytes;
        };
        const auto le = [](quint32 value, int size) {
            QByteArray bytes;
            for (int i = 0; i < size; ++i) {
                bytes += static_cast<char>((value >> (8 * i)) & 0xff);
            }
            return bytes;
        };
        const auto pair = [&](int id, const QByteArray& value) {
            return le(id, 2) + le(value.size(), 2) + value;
        };
        const QByteArray name = utf16("CORP");
        const QByteArray info = pair(2, name) + pair(1, utf16("DC1")) + pair(4, utf16("corp.test"))
            + pair(3, utf16("dc1.corp.test")) + pair(0, {});
        constexpr int header = 56;
        return QByteArray("NTLMSSP\0", 8) + le(2, 4) + le(name.size(), 2) + le(name.size(), 2) + le(header, 4)
            + le(0xe2898235, 4) + QByteArray::fromHex("0123456789abcdef") + QByteArray(8, '\0')
            + le(info.size(), 2) + le(info.size(), 2) + le(header + name.size(), 4)
            + QByteArray::fromHex("0a00614a0000000f") + name + info;
    }

    bool answerRogueSasl(int fd, unsigned char messageId, unsigned char operation, Client& client)
    {
        if (operation == 0x63) {
            const QByteArray host =
                m_diagnostic.isEmpty() ? QByteArrayLiteral("dc1.corp.test") : m_diagnostic;
            const QByteArray domain = host.mid(host.indexOf('.') + 1);
            const QByteArray service = domain + ':' + host.left(host.indexOf('.')) + "$@" + domain.toUpper();
            if (m_behaviour == Behaviour::GssapiEarlySuccess) {
                return answerRootEntry(fd, messageId,
                                       attribute("supportedSASLMechanisms", "GSSAPI")
                                           + attribute("dnsHostName", host.constData()));
            }
            return answerRootEntry(fd, messageId,
                                   attribute("supportedCapabilities", "1.2.840.113556.1.4.800")
                                       + attribute("supportedSASLMechanisms", "GSS-SPNEGO")
                                       + attribute("dnsHostName", host.constData())
                                       + attribute("ldapServiceName", service.constData())
                                       + attribute("defaultNamingContext", "DC=corp,DC=test"));
        }
        if (operation != 0x60) {
            return true;
        }
        ++client.binds;
        const auto bindResponse = [&](int code, const QByteArray& token) {
            QByteArray content =
                tlv(0x0a, QByteArray(1, static_cast<char>(code))) + tlv(0x04, {}) + tlv(0x04, {});
            if (!token.isEmpty()) {
                content += tlv(0x87, token);
            }
            return message(messageId, 0x61, content);
        };
        switch (m_behaviour) {
        case Behaviour::SaslEarlySuccess:
        case Behaviour::GssapiEarlySuccess:
            return sendAll(fd, bindResponse(0, {}));
        case Behaviour::SaslFakeNtlm:
            return sendAll(fd,
                           client.binds == 1 ? bindResponse(14, negotiationAnswer(1, ntlmChallenge()))
                                             : bindResponse(0, negotiationAnswer(0, {})));
        default:
            for (int waited = 0; waited < m_resultCode && !m_stop; waited += 10) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            return sendAll(fd, bindResponse(14, negotiationAnswer(1, ntlmChallenge())));
        }
    }

    // Until the client gives up: it must stop reading long before this ends on its own.
    bool streamHugeAnswer(int fd)
    {
        const QByteArray header = QByteArray::fromHex("30847ffffff0");
        if (!sendAll(fd, header)) {
            return false;
        }
        const QByteArray chunk(64 * 1024, 'A');
        for (int i = 0; i < 32 * 1024 && !m_stop; ++i) {
            if (!sendAll(fd, chunk)) {
                return false;
            }
        }
        return false;
    }

    bool streamEntries(int fd, unsigned char messageId)
    {
        const QByteArray attribute =
            tlv(0x30, tlv(0x04, "objectClass") + tlv(0x31, tlv(0x04, "organizationalUnit")));
        const QByteArray entry =
            message(messageId, 0x64, tlv(0x04, "ou=again,dc=example,dc=com") + tlv(0x30, attribute));
        QByteArray batch;
        for (int i = 0; i < 256; ++i) {
            batch += entry;
        }
        for (int i = 0; i < 100000 && !m_stop; ++i) {
            if (!sendAll(fd, batch)) {
                return false;
            }
        }
        return false;
    }

    Behaviour m_behaviour;
    int m_resultCode;
    QByteArray m_diagnostic;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop { false };
    std::atomic<int> m_connections { 0 };
    std::map<int, Client> m_clients;
    mutable std::mutex m_mutex;
    QByteArray m_received;
    std::thread m_thread;
};

} // namespace quorvane::test

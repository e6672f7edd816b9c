#pragma once

#include <QByteArray>

#include <array>
#include <cstddef>

// Our own layers on libldap's socket buffer, besides the negotiated security layer.
namespace quorvane {

// Keeps the first bytes a server sent, as LDAP sees them (above TLS), so an answer that is not
// LDAP at all can be named instead of being reported as a timeout or a closed connection.
class FirstBytesRecorder
{
public:
    // Adds a read layer to libldap's socket buffer (a Sockbuf*). The recorder must outlive the buffer.
    void attach(void* socketBuffer);

    // The first bytes when they cannot begin an LDAP message; empty otherwise.
    QByteArray notLdapBytes() const;

    void record(const char* bytes, std::size_t count) noexcept;

private:
    std::array<char, 48> m_first {};
    std::size_t m_count = 0;
};

} // namespace quorvane

namespace quorvane {

// liblber writes with write(), which raises SIGPIPE on a connection the server closed; that would
// end the program unless every host process ignored the signal. Adds a layer to libldap's socket
// buffer (a Sockbuf*) right above the socket, so TLS handshake writes pass through it too.
void keepWritesFromRaisingSigpipe(void* socketBuffer);

} // namespace quorvane

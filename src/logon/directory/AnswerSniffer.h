#pragma once

#include <QString>

#include <array>
#include <cstddef>

namespace quorvane {

// Keeps the first bytes a server sent, as LDAP sees them (above TLS), so an answer that is not
// LDAP at all can be named instead of being reported as a timeout or a closed connection.
class AnswerSniffer
{
public:
    // Adds a read layer to libldap's socket buffer (a Sockbuf*), and one that keeps its writes from
    // raising SIGPIPE. The sniffer must outlive the buffer.
    void attach(void* socketBuffer);

    // The first bytes, printable, when they cannot begin an LDAP message; empty otherwise.
    QString notLdapText() const;

    void record(const char* bytes, std::size_t count) noexcept;

private:
    std::array<char, 48> m_first {};
    std::size_t m_count = 0;
};

} // namespace quorvane

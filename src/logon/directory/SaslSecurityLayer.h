#pragma once

#include <QByteArray>

#include <cstddef>
#include <gssapi/gssapi.h>

namespace quorvane {

// The protection a negotiated bind put on the rest of the connection.
enum class Protection
{
    None,
    Integrity, // signed
    Confidentiality, // sealed
};

// Carries every LDAP message after a negotiated bind in the GSS context's protection: a 4-byte
// length, then the GSS token (the SASL buffer form of RFC 4752 and of Active Directory's
// GSS-SPNEGO). Each answer is checked as it arrives, so a server without the context's session key
// cannot produce one that passes.
class SaslSecurityLayer
{
public:
    // Pushes the layer onto libldap's socket buffer (a Sockbuf*) and hands it the context. From then
    // on the buffer owns both: they go when the handle is unbound (libldap frees the buffer then).
    // Returns the layer, to be asked about what it saw while the handle lives.
    static const SaslSecurityLayer* install(void* socketBuffer, gss_ctx_id_t context, Protection protection);

    // Answers that arrived whole and passed the context's check.
    int answersVerified() const { return m_verified; }
    // An answer failed the check, or came as no protected buffer at all: the connection is unusable.
    bool failedCheck() const { return m_failed; }

    SaslSecurityLayer(const SaslSecurityLayer&) = delete;
    SaslSecurityLayer& operator=(const SaslSecurityLayer&) = delete;

    // For liblber's C frames; none of these throw.
    long readPlain(void* layer, char* buffer, std::size_t length) noexcept;
    long writeProtected(void* layer, const char* buffer, std::size_t length) noexcept;
    bool hasPlain() const noexcept { return m_plainAt < m_plain.size(); }
    ~SaslSecurityLayer();

private:
    SaslSecurityLayer(gss_ctx_id_t context, Protection protection);
    bool unwrapFrame() noexcept;
    long flushPending(void* layer) noexcept;

    gss_ctx_id_t m_context;
    Protection m_protection;
    QByteArray m_frame; // an answer's SASL buffer, as far as it has arrived
    QByteArray m_plain; // unwrapped, not yet taken by liblber
    qsizetype m_plainAt = 0;
    QByteArray m_pending; // a wrapped request not yet fully written
    qsizetype m_pendingAt = 0;
    std::size_t m_pendingPlain = 0; // the plain bytes it carries, reported once it is out
    int m_verified = 0;
    bool m_failed = false;
};

} // namespace quorvane

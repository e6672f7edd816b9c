#include "SaslSecurityLayer.h"

#include <lber.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quorvane {

namespace {

// The largest answer a check accepts, and a little for the token around it.
constexpr quint32 largestFrame = 4 * 1024 * 1024 + 4096;
// Requests are small; a larger one goes out in several buffers.
constexpr std::size_t largestPlainChunk = 64 * 1024;

SaslSecurityLayer* of(Sockbuf_IO_Desc* layer)
{
    return static_cast<SaslSecurityLayer*>(layer->sbiod_pvt);
}

int layerSetup(Sockbuf_IO_Desc* layer, void* state) noexcept
{
    layer->sbiod_pvt = state;
    return 0;
}

// Called when the layer comes off the buffer: when the handle is unbound.
int layerRemove(Sockbuf_IO_Desc* layer) noexcept
{
    delete of(layer);
    layer->sbiod_pvt = nullptr;
    return 0;
}

int layerControl(Sockbuf_IO_Desc* layer, int option, void* argument) noexcept
{
    // libldap asks before it waits on the socket: an unwrapped answer may already be here.
    if (option == LBER_SB_OPT_DATA_READY && of(layer)->hasPlain()) {
        return 1;
    }
    return LBER_SBIOD_CTRL_NEXT(layer, option, argument);
}

ber_slen_t layerRead(Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) noexcept
{
    return of(layer)->readPlain(layer, static_cast<char*>(buffer), length);
}

ber_slen_t layerWrite(Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) noexcept
{
    return of(layer)->writeProtected(layer, static_cast<const char*>(buffer), length);
}

int layerClose(Sockbuf_IO_Desc*) noexcept
{
    return 0; // the TCP layer below closes the socket
}

Sockbuf_IO securityLayer = { layerSetup, layerRemove, layerControl, layerRead, layerWrite, layerClose };

void releaseBuffer(gss_buffer_desc& buffer) noexcept
{
    OM_uint32 minor = 0;
    gss_release_buffer(&minor, &buffer);
}

} // namespace

const SaslSecurityLayer* SaslSecurityLayer::install(void* socketBuffer, gss_ctx_id_t context,
                                                    Protection protection)
{
    auto* state = new SaslSecurityLayer(context, protection);
    if (ber_sockbuf_add_io(static_cast<Sockbuf*>(socketBuffer), &securityLayer, LBER_SBIOD_LEVEL_APPLICATION,
                           state)
        != 0) {
        delete state;
        return nullptr;
    }
    return state;
}

SaslSecurityLayer::SaslSecurityLayer(gss_ctx_id_t context, Protection protection)
    : m_context(context)
    , m_protection(protection)
{}

SaslSecurityLayer::~SaslSecurityLayer()
{
    OM_uint32 minor = 0;
    gss_delete_sec_context(&minor, &m_context, GSS_C_NO_BUFFER);
}

bool SaslSecurityLayer::unwrapFrame() noexcept
{
    gss_buffer_desc input { static_cast<size_t>(m_frame.size() - 4), m_frame.data() + 4 };
    gss_buffer_desc output = GSS_C_EMPTY_BUFFER;
    OM_uint32 minor = 0;
    int sealed = 0;
    const OM_uint32 major = gss_unwrap(&minor, m_context, &input, &output, &sealed, nullptr);
    // A sealed connection must not accept an answer that is only signed.
    // A replayed, old or reordered token is no fresh answer either.
    const bool passed =
        major == GSS_S_COMPLETE && (m_protection != Protection::Confidentiality || sealed != 0);
    if (passed) {
        m_plain = QByteArray(static_cast<const char*>(output.value), static_cast<qsizetype>(output.length));
        m_plainAt = 0;
        ++m_verified;
    }
    releaseBuffer(output);
    m_frame.clear();
    return passed;
}

long SaslSecurityLayer::readPlain(void* layer, char* buffer, std::size_t length) noexcept
{
    auto* desc = static_cast<Sockbuf_IO_Desc*>(layer);
    while (!hasPlain()) {
        if (m_failed) {
            errno = EIO;
            return -1;
        }
        // Only as many bytes as this buffer still needs: what is left stays in the socket, where
        // libldap's wait can see it.
        quint32 body = 0;
        for (qsizetype i = 0; i < std::min<qsizetype>(m_frame.size(), 4); ++i) {
            body = (body << 8) | static_cast<unsigned char>(m_frame[i]);
        }
        const qsizetype need = m_frame.size() < 4 ? 4 - m_frame.size() : 4 + body - m_frame.size();
        const qsizetype had = m_frame.size();
        m_frame.resize(had + need);
        const ber_slen_t got = LBER_SBIOD_READ_NEXT(desc, m_frame.data() + had, static_cast<ber_len_t>(need));
        m_frame.resize(had + std::max<ber_slen_t>(got, 0));
        if (got <= 0) {
            return got; // errno says whether to wait, or the connection closed
        }
        if (m_frame.size() == 4) {
            for (const char byte : m_frame) {
                body = (body << 8) | static_cast<unsigned char>(byte);
            }
            if (body == 0 || body > largestFrame) {
                m_failed = true; // not a SASL buffer: an answer in the clear, or garbage
                continue;
            }
        }
        if (m_frame.size() > 4 && m_frame.size() == 4 + static_cast<qsizetype>(body) && !unwrapFrame()) {
            m_failed = true;
        }
    }
    const std::size_t taken =
        std::min<std::size_t>(length, static_cast<std::size_t>(m_plain.size() - m_plainAt));
    std::memcpy(buffer, m_plain.constData() + m_plainAt, taken);
    m_plainAt += static_cast<qsizetype>(taken);
    return static_cast<long>(taken);
}

long SaslSecurityLayer::flushPending(void* layer) noexcept
{
    auto* desc = static_cast<Sockbuf_IO_Desc*>(layer);
    while (m_pendingAt < m_pending.size()) {
        const ber_slen_t written = LBER_SBIOD_WRITE_NEXT(
            desc, m_pending.data() + m_pendingAt, static_cast<ber_len_t>(m_pending.size() - m_pendingAt));
        if (written <= 0) {
            return -1;
        }
        m_pendingAt += written;
    }
    m_pending.clear();
    m_pendingAt = 0;
    return 0;
}

long SaslSecurityLayer::writeProtected(void* layer, const char* buffer, std::size_t length) noexcept
{
    // A buffer half written last time is finished first; liblber then calls again with the same
    // bytes, which that buffer already carried.
    if (!m_pending.isEmpty()) {
        if (flushPending(layer) != 0) {
            return -1;
        }
        // Never more than this call offered: after an abandoned request the bytes may be others.
        const std::size_t carried = std::min(m_pendingPlain, length);
        m_pendingPlain = 0;
        return static_cast<long>(carried);
    }
    const std::size_t chunk = std::min(length, largestPlainChunk);
    gss_buffer_desc input { chunk, const_cast<char*>(buffer) };
    gss_buffer_desc output = GSS_C_EMPTY_BUFFER;
    OM_uint32 minor = 0;
    const OM_uint32 major = gss_wrap(&minor, m_context, m_protection == Protection::Confidentiality ? 1 : 0,
                                     GSS_C_QOP_DEFAULT, &input, nullptr, &output);
    if (GSS_ERROR(major)) {
        releaseBuffer(output);
        errno = EIO;
        return -1;
    }
    const auto size = static_cast<quint32>(output.length);
    m_pending.resize(4);
    for (int i = 0; i < 4; ++i) {
        m_pending[i] = static_cast<char>((size >> (8 * (3 - i))) & 0xff);
    }
    m_pending.append(static_cast<const char*>(output.value), static_cast<qsizetype>(output.length));
    releaseBuffer(output);
    m_pendingAt = 0;
    m_pendingPlain = chunk;
    if (flushPending(layer) != 0) {
        if (errno == EINTR || errno == EWOULDBLOCK) {
            errno = EAGAIN; // liblber comes back with the same bytes
        }
        return -1;
    }
    m_pendingPlain = 0;
    return static_cast<long>(chunk);
}

} // namespace quorvane

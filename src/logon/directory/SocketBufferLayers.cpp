#include "SocketBufferLayers.h"

#include <lber.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sys/socket.h>

namespace quorvane {

namespace {

// These run inside liblber's C frames: nothing may throw.
int recordSetup(Sockbuf_IO_Desc* layer, void* recorder) noexcept
{
    layer->sbiod_pvt = recorder;
    return 0;
}

int recordRemove(Sockbuf_IO_Desc*) noexcept
{
    return 0;
}

int recordControl(Sockbuf_IO_Desc* layer, int option, void* argument) noexcept
{
    return LBER_SBIOD_CTRL_NEXT(layer, option, argument);
}

ber_slen_t recordRead(Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) noexcept
{
    const ber_slen_t got = LBER_SBIOD_READ_NEXT(layer, buffer, length);
    if (got > 0) {
        static_cast<FirstBytesRecorder*>(layer->sbiod_pvt)
            ->record(static_cast<const char*>(buffer), static_cast<std::size_t>(got));
    }
    return got;
}

ber_slen_t recordWrite(Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) noexcept
{
    return LBER_SBIOD_WRITE_NEXT(layer, buffer, length);
}

int recordClose(Sockbuf_IO_Desc*) noexcept
{
    return 0; // the TCP layer below closes the socket
}

Sockbuf_IO recorderLayer = { recordSetup, recordRemove, recordControl, recordRead, recordWrite, recordClose };

ber_slen_t passRead(Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) noexcept
{
    return LBER_SBIOD_READ_NEXT(layer, buffer, length);
}

// Right above liblber's TCP layer, which is only a write(), the write is made here with
// MSG_NOSIGNAL; above anything else SIGPIPE is blocked, and one this write caused is taken back.
// Either way the write just fails with EPIPE.
ber_slen_t quietWrite(Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) noexcept
{
    ber_socket_t fd = -1;
    if (layer->sbiod_next && layer->sbiod_next->sbiod_io == &ber_sockbuf_io_tcp
        && ber_sockbuf_ctrl(layer->sbiod_sb, LBER_SB_OPT_GET_FD, &fd) == 1 && fd >= 0) {
        return ::send(fd, buffer, length, MSG_NOSIGNAL);
    }
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &pipe, &previous);
    const ber_slen_t written = LBER_SBIOD_WRITE_NEXT(layer, buffer, length);
    const int error = errno;
    if (written < 0 && error == EPIPE && !alreadyPending) {
        const timespec now {};
        sigtimedwait(&pipe, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return written;
}

Sockbuf_IO quietPipeLayer = { recordSetup, recordRemove, recordControl, passRead, quietWrite, recordClose };

} // namespace

void FirstBytesRecorder::attach(void* socketBuffer)
{
    // Above TLS, which libldap adds at the transport level, so LDAP is seen in the clear.
    ber_sockbuf_add_io(static_cast<Sockbuf*>(socketBuffer), &recorderLayer, LBER_SBIOD_LEVEL_TRANSPORT + 5,
                       this);
}

void keepWritesFromRaisingSigpipe(void* socketBuffer)
{
    ber_sockbuf_add_io(static_cast<Sockbuf*>(socketBuffer), &quietPipeLayer, LBER_SBIOD_LEVEL_PROVIDER + 5,
                       nullptr);
}

void FirstBytesRecorder::record(const char* bytes, std::size_t count) noexcept
{
    const std::size_t taken = std::min(count, m_first.size() - m_count);
    std::copy_n(bytes, taken, m_first.begin() + static_cast<std::ptrdiff_t>(m_count));
    m_count += taken;
}

QByteArray FirstBytesRecorder::notLdapBytes() const
{
    // Every LDAP message begins with a SEQUENCE tag.
    if (m_count == 0 || static_cast<unsigned char>(m_first[0]) == 0x30) {
        return {};
    }
    return QByteArray(m_first.data(), static_cast<qsizetype>(m_count));
}

} // namespace quorvane

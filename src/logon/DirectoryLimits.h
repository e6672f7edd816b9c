#pragma once

#include <chrono>

namespace quorvane {

using Clock = std::chrono::steady_clock;

// How long one open may wait: reaching a server (name lookup and TLS handshake included), and each
// operation on it.
struct DirectoryLimits
{
    std::chrono::milliseconds connect { std::chrono::seconds(10) };
    std::chrono::milliseconds operation { std::chrono::seconds(30) };
};

} // namespace quorvane

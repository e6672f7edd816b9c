#pragma once

namespace quorvane {

// Deleter for C resources: std::unique_ptr<T, Release<free_function>>.
template <auto release>
struct Release
{
    void operator()(auto* resource) const { release(resource); }
};

} // namespace quorvane

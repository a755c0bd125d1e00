// Fetching objects into the cache ahead of use: the entries of a large container lie all over
// memory, so a writer fetches the objects of the entry a few places on while it writes one.
#pragma once

#include <cstddef>

namespace glimet::tervix::fast {

inline constexpr std::ptrdiff_t fetch_ahead = 8;

// Fetches `object` (any pointer, null included) into the cache.
inline void prefetch(const void *object) noexcept { __builtin_prefetch(object); }

} // namespace glimet::tervix::fast

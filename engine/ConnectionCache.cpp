#include "engine/ConnectionCache.h"

namespace quarnel {

void EnsureConnectionCache(ConnectionCache& cache, std::size_t n) {
    if (cache.Entries.size() < n + 1) {
        cache.Entries.resize(n + 1);
    }
}

void ClearConnectionCache(ConnectionCache& cache) {
    cache.Entries.clear();
}

}  // namespace quarnel

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quarnel::platform {

// Where each row of a table stands, by its socket cookie: an open-addressing hash table in one
// block of memory, so that rows that come and go allocate nothing once it has grown to the
// table's size.
class CookieIndex {
public:
    std::optional<std::size_t> Find(std::uint64_t cookie) const;
    // Sets where the row with cookie stands; its earlier place if it had one.
    std::optional<std::size_t> Put(std::uint64_t cookie, std::size_t index);
    void Erase(std::uint64_t cookie);
    // Forgets every row; keeps the memory for a table of count rows.
    void Clear(std::size_t count);
    std::size_t Size() const { return size_; }

private:
    struct Slot {
        std::uint64_t cookie = 0;
        std::uint32_t index = 0;
        bool used = false;
    };

    std::size_t Home(std::uint64_t cookie) const;
    void Grow();

    std::vector<Slot> slots_;  // a power of two, at most half of them used
    std::size_t size_ = 0;
};

}  // namespace quarnel::platform

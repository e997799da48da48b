#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quarnel::platform {

// Where each row of a table stands, by its socket cookie: an open-addressing hash table in two
// blocks of memory, so that rows that come and go allocate nothing once it has grown to the
// table's size. A slot costs 12 bytes (a cookie, and a place), with at least twice as many
// slots as rows.
class CookieIndex {
public:
    std::optional<std::size_t> Find(std::uint64_t cookie) const;
    // Sets where the row with cookie stands; its earlier place if it had one.
    std::optional<std::size_t> Put(std::uint64_t cookie, std::size_t index);
    void Erase(std::uint64_t cookie);
    // Forgets every row; keeps the memory for a table of count rows.
    void Clear(std::size_t count);
    std::size_t Size() const { return size_; }
    // Appends the cookie of every row to cookies, in no particular order.
    void Cookies(std::vector<std::uint64_t>& cookies) const;

private:
    std::size_t Home(std::uint64_t cookie) const;
    std::size_t Mask() const { return places_.size() - 1; }
    void Grow();

    // Side by side, a power of two of them, at most half used: a slot's cookie, and the index
    // of its row plus one, 0 for an empty slot.
    std::vector<std::uint64_t> cookies_;
    std::vector<std::uint32_t> places_;
    std::size_t size_ = 0;
};

}  // namespace quarnel::platform

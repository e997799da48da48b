#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace quarnel::platform {

// A number for each socket cookie (where a table's row stands, or who owns the socket): an
// open-addressing hash table in two blocks of memory, so that rows that come and go allocate
// nothing once it has grown to the table's size. A slot costs 12 bytes (a cookie, and a number
// below 2^32 - 1), with at least 5 slots for every 4 cookies: linear probing stays short at
// that load, and a table of 200,000 rows takes 3 MB rather than 6.
class CookieIndex {
public:
    std::optional<std::size_t> Find(std::uint64_t cookie) const;
    // Sets where the row with cookie stands; its earlier place if it had one.
    std::optional<std::size_t> Put(std::uint64_t cookie, std::size_t index);
    void Erase(std::uint64_t cookie);
    // Forgets every row; keeps the memory for a table of count rows.
    void Clear(std::size_t count);
    // Makes room for count cookies without growing on the way.
    void Reserve(std::size_t count);
    // Erases every cookie for which erased(cookie, its number) holds.
    void EraseIf(const std::function<bool(std::uint64_t, std::size_t)>& erased);
    std::size_t Size() const { return size_; }
    // Appends the cookie of every row to cookies, in no particular order.
    void Cookies(std::vector<std::uint64_t>& cookies) const;

private:
    std::size_t Home(std::uint64_t cookie) const;
    std::size_t Mask() const { return places_.size() - 1; }
    void Grow(std::size_t slots);
    // The slots a table of count cookies takes.
    static std::size_t SlotsFor(std::size_t count);

    // Side by side, a power of two of them, at most 4/5 used: a slot's cookie, and its number
    // plus one, 0 for an empty slot.
    std::vector<std::uint64_t> cookies_;
    std::vector<std::uint32_t> places_;
    std::size_t size_ = 0;
};

}  // namespace quarnel::platform

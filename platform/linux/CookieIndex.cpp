#include "platform/linux/CookieIndex.h"

#include <utility>

namespace quarnel::platform {

std::size_t CookieIndex::Home(std::uint64_t cookie) const {
    // Cookies count up: a multiplicative hash spreads neighbours over the whole table.
    return static_cast<std::size_t>((cookie * 0x9e3779b97f4a7c15ull) >> 17) & (slots_.size() - 1);
}

std::optional<std::size_t> CookieIndex::Find(std::uint64_t cookie) const {
    if (slots_.empty()) {
        return std::nullopt;
    }
    for (std::size_t at = Home(cookie);; at = (at + 1) & (slots_.size() - 1)) {
        const Slot& slot = slots_[at];
        if (!slot.used) {
            return std::nullopt;
        }
        if (slot.cookie == cookie) {
            return slot.index;
        }
    }
}

std::optional<std::size_t> CookieIndex::Put(std::uint64_t cookie, std::size_t index) {
    if (2 * (size_ + 1) > slots_.size()) {
        Grow();
    }
    for (std::size_t at = Home(cookie);; at = (at + 1) & (slots_.size() - 1)) {
        Slot& slot = slots_[at];
        if (!slot.used) {
            slot = {cookie, static_cast<std::uint32_t>(index), true};
            ++size_;
            return std::nullopt;
        }
        if (slot.cookie == cookie) {
            return std::exchange(slot.index, static_cast<std::uint32_t>(index));
        }
    }
}

void CookieIndex::Erase(std::uint64_t cookie) {
    if (slots_.empty()) {
        return;
    }
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = Home(cookie);
    while (slots_[at].used && slots_[at].cookie != cookie) {
        at = (at + 1) & mask;
    }
    if (!slots_[at].used) {
        return;
    }
    // Moves back every later slot of the run that may sit there, so that no search stops short
    // at the hole.
    for (std::size_t next = (at + 1) & mask; slots_[next].used; next = (next + 1) & mask) {
        const std::size_t home = Home(slots_[next].cookie);
        // Whether home lies cyclically in (at, next]: then the slot stays.
        const bool stays = at <= next ? (at < home && home <= next) : (at < home || home <= next);
        if (!stays) {
            slots_[at] = slots_[next];
            at = next;
        }
    }
    slots_[at] = Slot{};
    --size_;
}

void CookieIndex::Clear(std::size_t count) {
    std::size_t wanted = 16;
    while (wanted < 2 * count) {
        wanted *= 2;
    }
    if (slots_.size() < wanted) {
        slots_.resize(wanted);
    }
    for (Slot& slot : slots_) {
        slot = Slot{};
    }
    size_ = 0;
}

void CookieIndex::Grow() {
    std::vector<Slot> old(slots_.empty() ? 16 : 2 * slots_.size());
    old.swap(slots_);
    size_ = 0;
    for (const Slot& slot : old) {
        if (slot.used) {
            (void)Put(slot.cookie, slot.index);
        }
    }
}

}  // namespace quarnel::platform

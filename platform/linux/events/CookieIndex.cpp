#include "platform/linux/events/CookieIndex.h"

#include <algorithm>
#include <utility>

namespace quarnel::platform {

std::size_t CookieIndex::Home(std::uint64_t cookie) const {
    // Cookies count up: a multiplicative hash spreads neighbours over the whole table.
    return static_cast<std::size_t>((cookie * 0x9e3779b97f4a7c15ull) >> 17) & Mask();
}

std::optional<std::size_t> CookieIndex::Find(std::uint64_t cookie) const {
    if (places_.empty()) {
        return std::nullopt;
    }
    for (std::size_t at = Home(cookie);; at = (at + 1) & Mask()) {
        if (places_[at] == 0) {
            return std::nullopt;
        }
        if (cookies_[at] == cookie) {
            return places_[at] - 1;
        }
    }
}

std::optional<std::size_t> CookieIndex::Put(std::uint64_t cookie, std::size_t index) {
    if (5 * (size_ + 1) > 4 * places_.size()) {
        Grow(places_.empty() ? 16 : 2 * places_.size());
    }
    const auto place = static_cast<std::uint32_t>(index + 1);
    for (std::size_t at = Home(cookie);; at = (at + 1) & Mask()) {
        if (places_[at] == 0) {
            cookies_[at] = cookie;
            places_[at] = place;
            ++size_;
            return std::nullopt;
        }
        if (cookies_[at] == cookie) {
            return std::exchange(places_[at], place) - 1;
        }
    }
}

void CookieIndex::Cookies(std::vector<std::uint64_t>& cookies) const {
    for (std::size_t at = 0; at < places_.size(); ++at) {
        if (places_[at] != 0) {
            cookies.push_back(cookies_[at]);
        }
    }
}

void CookieIndex::Erase(std::uint64_t cookie) {
    if (places_.empty()) {
        return;
    }
    std::size_t at = Home(cookie);
    while (places_[at] != 0 && cookies_[at] != cookie) {
        at = (at + 1) & Mask();
    }
    if (places_[at] == 0) {
        return;
    }
    // Moves back every later slot of the run that may sit there, so that no search stops short
    // at the hole.
    for (std::size_t next = (at + 1) & Mask(); places_[next] != 0; next = (next + 1) & Mask()) {
        const std::size_t home = Home(cookies_[next]);
        // Whether home lies cyclically in (at, next]: then the slot stays.
        const bool stays = at <= next ? (at < home && home <= next) : (at < home || home <= next);
        if (!stays) {
            cookies_[at] = cookies_[next];
            places_[at] = places_[next];
            at = next;
        }
    }
    places_[at] = 0;
    --size_;
}

std::size_t CookieIndex::SlotsFor(std::size_t count) {
    std::size_t slots = 16;
    while (4 * slots < 5 * count) {
        slots *= 2;
    }
    return slots;
}

void CookieIndex::Clear(std::size_t count) {
    const std::size_t wanted = SlotsFor(count);
    if (places_.size() < wanted) {
        cookies_.resize(wanted);
        places_.resize(wanted);
    }
    std::fill(places_.begin(), places_.end(), 0);
    size_ = 0;
}

void CookieIndex::Reserve(std::size_t count) {
    if (const std::size_t wanted = SlotsFor(count); places_.size() < wanted) {
        Grow(wanted);
    }
}

void CookieIndex::EraseIf(const std::function<bool(std::uint64_t, std::size_t)>& erased) {
    // Gathered first: erasing moves later slots back, past where a walk would be.
    std::vector<std::uint64_t> gone;
    for (std::size_t at = 0; at < places_.size(); ++at) {
        if (places_[at] != 0 && erased(cookies_[at], places_[at] - 1)) {
            gone.push_back(cookies_[at]);
        }
    }
    for (const std::uint64_t cookie : gone) {
        Erase(cookie);
    }
}

void CookieIndex::Grow(std::size_t slots) {
    std::vector<std::uint64_t> cookies(slots);
    std::vector<std::uint32_t> places(slots);
    cookies.swap(cookies_);
    places.swap(places_);
    size_ = 0;
    for (std::size_t at = 0; at < places.size(); ++at) {
        if (places[at] != 0) {
            (void)Put(cookies[at], places[at] - 1);
        }
    }
}

}  // namespace quarnel::platform

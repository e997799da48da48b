#pragma once

#include <bpf/bpf.h>

#include <array>
#include <cstdint>
#include <span>

#include "platform/RuleEntry.h"
#include "platform/linux/bpf/PayloadRuleMaps.h"

namespace quarnel::platform {

// A port list as the kernel programs' maps hold it: bit p % 64 of word p / 64 set for port p.
using PortWords = std::array<std::uint64_t, QUARNEL_PORT_WORDS>;

inline PortWords ToPortWords(std::span<const PortRange> ranges) {
    PortWords words{};
    for (const PortRange& range : ranges) {
        for (std::uint32_t port = range.Low; port <= range.High; ++port) {
            words[port / 64] |= std::uint64_t{1} << (port % 64);
        }
    }
    return words;
}

// Makes the port map fd (an array of QUARNEL_PORT_WORDS words) hold words, writing only the
// words that differ from held, what it holds so far. One word at a time, each write atomic for
// the kernel program: a port's bit is either old or new. False when the kernel rejected a write
// (errno tells); held still says what the map holds.
inline bool WritePortWords(int fd, const PortWords& words, PortWords& held) {
    for (std::uint32_t i = 0; i < words.size(); ++i) {
        if (words[i] == held[i]) {
            continue;
        }
        if (bpf_map_update_elem(fd, &i, &words[i], BPF_ANY) != 0) {
            return false;
        }
        held[i] = words[i];
    }
    return true;
}

}  // namespace quarnel::platform

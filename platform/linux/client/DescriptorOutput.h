#pragma once

#include <cstddef>
#include <string_view>

#include "platform/LogOutput.h"

namespace quarnel::platform {

// Log lines to a descriptor (standard error or output, a pipe or socket the journal reads),
// never waited for: a line goes in one write only when the descriptor has room for it now, and
// a pipe takes a write of up to PIPE_BUF bytes whole or not at all.
class DescriptorOutput final : public LogOutput {
public:
    // fd stays the caller's.
    explicit DescriptorOutput(int fd) : fd_(fd) {}

    std::size_t LongestLine() const override;
    bool TryWrite(std::string_view line) override;

private:
    int fd_;
};

}  // namespace quarnel::platform

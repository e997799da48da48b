#pragma once

#include <cstddef>
#include <string_view>

namespace quarnel::platform {

// Where the guard's log lines go: the standard error or output that a terminal, a launcher or
// the journal reads. A reader that stops reading must never stop the guard, so a line is taken
// whole at once or not at all, and nothing here ever waits.
class LogOutput {
public:
    virtual ~LogOutput() = default;

    // The longest line, its end of line included, that is taken whole in one write.
    virtual std::size_t LongestLine() const = 0;
    // Takes line (which ends in a newline) whole, without waiting; false when there is no
    // room for it now, or it failed: then nothing of it was taken.
    virtual bool TryWrite(std::string_view line) = 0;
};

}  // namespace quarnel::platform

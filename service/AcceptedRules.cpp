#include "service/AcceptedRules.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/linux/UniqueFd.h"

namespace quarnel {

namespace {

bool Fail(std::string& problem, const std::string& what) {
    problem = what + ": " + std::strerror(errno);
    return false;
}

}  // namespace

bool AcceptedRules::Keep(const std::string& text, std::string& problem) {
    if (path_.empty() || text == kept_) {
        return true;
    }
    const std::string next = path_ + ".new";
    {
        const platform::UniqueFd file(
            ::open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!file) {
            return Fail(problem, "cannot write " + next);
        }
        // On disk before the rename: after a crash the copy is the old one or this one, whole.
        if (::write(file.Get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
            ::fsync(file.Get()) != 0) {
            const int error = errno;
            (void)::unlink(next.c_str());  // a part of a copy is no use to anyone
            errno = error;
            return Fail(problem, "cannot write " + next);
        }
    }
    if (std::rename(next.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        (void)::unlink(next.c_str());
        errno = error;
        return Fail(problem, "cannot replace " + path_);
    }
    kept_ = text;
    return true;
}

RulesReading AcceptedRules::Read() {
    if (path_.empty()) {
        return RulesReading{RulesReading::Outcome::Missing, {}, {}, {}, {}, 0, {}};
    }
    RulesReading reading = ReadRulesFile(path_);
    if (reading.Result == RulesReading::Outcome::Read) {
        kept_ = reading.Text;
    }
    return reading;
}

}  // namespace quarnel

#pragma once

#include <unistd.h>

#include <utility>

namespace quarnel::platform {

// Owns one file descriptor and closes it when dropped.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

    // Hands the descriptor over to whoever closes it from now on.
    [[nodiscard]] int Release() noexcept { return std::exchange(fd_, -1); }

    void Reset(int fd = -1) noexcept {
        if (fd_ >= 0) {
            // Linux releases the descriptor even when close reports an error, so there is
            // nothing to retry and nobody to tell.
            (void)::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace quarnel::platform

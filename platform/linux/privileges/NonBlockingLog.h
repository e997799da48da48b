#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>

namespace quarnel::platform {

// A privileged program's log on a descriptor (its stderr, its starter's) that never makes it
// wait: on a pipe nobody reads, a write would stop it answering, and the program that waits for
// its answer with it. A line the descriptor cannot take at once is dropped.
class NonBlockingLog {
public:
    explicit NonBlockingLog(int fd);
    ~NonBlockingLog();
    NonBlockingLog(const NonBlockingLog&) = delete;
    NonBlockingLog& operator=(const NonBlockingLog&) = delete;

    // A line-buffered stream onto it; stderr itself where the system gives none.
    std::FILE* Stream() const { return stream_ != nullptr ? stream_ : stderr; }

private:
    static ssize_t Write(void* self, const char* data, std::size_t size);

    int fd_;
    std::FILE* stream_;
};

}  // namespace quarnel::platform

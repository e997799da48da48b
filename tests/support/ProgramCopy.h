#pragma once

#include <filesystem>
#include <string>

namespace quarnel::testsupport {

// A copy of a built program that every user may run, for a test that runs it as another user:
// the build tree may lie where only its owner may enter (a clone in root's home, mode 0700), and
// a program the test runs after giving up root is then refused. The copy lies in a folder of its
// own under the temporary folder, made by the one who makes the copy; both go when it is
// dropped, so make it before the test changes user.
class ProgramCopy {
public:
    explicit ProgramCopy(const std::string& program);
    ~ProgramCopy();
    ProgramCopy(const ProgramCopy&) = delete;
    ProgramCopy& operator=(const ProgramCopy&) = delete;

    // The copy's path; empty when none could be made, and Problem() says why.
    const std::string& Path() const { return path_; }
    const std::string& Problem() const { return problem_; }
    // Why the copy cannot run where it lies (the temporary folder mounted noexec); empty when it
    // can: a test then says so and is skipped.
    const std::string& Unrunnable() const { return unrunnable_; }

private:
    std::filesystem::path folder_;
    std::string path_;
    std::string problem_;
    std::string unrunnable_;
};

}  // namespace quarnel::testsupport

#pragma once

#include <string>

namespace quarnel::testsupport {

// A cgroup v2 made for one test under the hierarchy's root, with the calling process moved into
// it; the process moves back and the cgroup goes when this is dropped. A filter under test is
// attached here, never to the root: then only the test's own process (and its children) see it.
class TestCgroup {
public:
    TestCgroup();
    ~TestCgroup();
    TestCgroup(const TestCgroup&) = delete;
    TestCgroup& operator=(const TestCgroup&) = delete;

    // Empty when the system has no cgroup v2 or refused (Problem says why).
    const std::string& Path() const { return path_; }
    const std::string& Problem() const { return problem_; }

private:
    std::string home_;  // the cgroup the process came from
    std::string path_;
    std::string problem_;
};

}  // namespace quarnel::testsupport

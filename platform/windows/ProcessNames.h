#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace quarnel::platform {

// The programs of processes by pid: the file name of each one's executable, as far as this
// user may look (another user's process needs the right to query it; the System process has no
// file). Asked once per process and kept while the process has connections.
class ProcessNames {
public:
    // The program of pid, "" where it cannot be known.
    const std::string& NameOf(std::uint32_t pid);
    // Forgets every process but these (those with rows in the latest read, sorted), so that a
    // pid the system hands to a new process is asked again.
    void KeepOnly(const std::vector<std::uint32_t>& pids);

private:
    std::unordered_map<std::uint32_t, std::string> names_;
};

// The file name of pid's executable ("curl.exe"), "" where it cannot be known.
std::string ProgramOfProcess(std::uint32_t pid);

}  // namespace quarnel::platform

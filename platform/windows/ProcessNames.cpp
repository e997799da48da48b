#include "platform/windows/ProcessNames.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "platform/windows/WideText.h"

namespace quarnel::platform {

std::string ProgramOfProcess(std::uint32_t pid) {
    if (pid == 0) {
        return {};  // the idle process, or an owner the system did not tell
    }
    // The least right that names the executable: granted for most processes of other users too.
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) {
        return {};
    }
    const std::unique_ptr<void, decltype(&CloseHandle)> owner(process, CloseHandle);
    wchar_t path[MAX_PATH * 4];
    DWORD length = DWORD(std::size(path));
    if (!QueryFullProcessImageNameW(process, 0, path, &length)) {
        return {};
    }
    std::wstring_view name(path, length);
    if (const auto slash = name.find_last_of(L"\\/"); slash != std::wstring_view::npos) {
        name.remove_prefix(slash + 1);
    }
    return Narrow(name).value_or(std::string());
}

const std::string& ProcessNames::NameOf(std::uint32_t pid) {
    const auto known = names_.find(pid);
    if (known != names_.end()) {
        return known->second;
    }
    return names_.emplace(pid, ProgramOfProcess(pid)).first->second;
}

void ProcessNames::KeepOnly(const std::vector<std::uint32_t>& pids) {
    std::erase_if(names_, [&pids](const auto& entry) {
        return !std::binary_search(pids.begin(), pids.end(), entry.first);
    });
}

}  // namespace quarnel::platform

#include "platform/windows/TcpEntryWriter.h"

#include <windows.h>

namespace quarnel::platform {

unsigned long SystemTcpEntries::SetTcpEntry(const MIB_TCPROW& row) {
    MIB_TCPROW copy = row;  // the call takes a row it may write to
    return ::SetTcpEntry(&copy);
}

bool SystemTcpEntries::CarriedOut() const {
    return !RunningUnderWine();
}

bool RunningUnderWine() {
    // Wine's ntdll exports its version; Windows' has no such function.
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace quarnel::platform

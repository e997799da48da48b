#pragma once

#include <memory>
#include <string>

#include "platform/linux/LinuxTableSource.h"
#include "platform/linux/events/TcpEventStream.h"
#include "platform/linux/filter/FilterCause.h"
#include "platform/linux/filter/RulesFilter.h"

namespace quarnel::platform {

// Where the program's table operations run.
enum class TableMode {
    InProcess,  // this process reads and closes: it has the right to (e.g. run as root)
    Helper,     // quarnel-helper reads and closes; this process holds no privilege
    ReadOnly,   // this process reads; nothing here may close connections
};

struct TcpTableSelection {
    // The table the engine works with; null only when not even reading is possible.
    std::unique_ptr<LinuxTableSource> Source;
    TableMode Mode = TableMode::ReadOnly;
    CloseAbility Ability = CloseAbility::Unknown;  // the answer to the permission question
    std::string HelperPath;     // where the helper was found; empty when none was
    std::string HelperProblem;  // why the helper is not in use, when it was tried and failed
    std::string TableProblem;   // why this process cannot read the table, when it cannot
    // Why the table is read whole for every pass (the slower polling mode); kind None when it
    // is kept from the kernel's reports of changes.
    PollingCause Polling;
    // Why the kernel does not hold back the data of blocked connections (so that only closing
    // them stops it); kind None when it does.
    FilterCause Filtering;
};

// Where the program looks for its helper, relative to its own executable's folder: first the
// installed layout (<prefix>/bin/quarnel finds <prefix>/libexec/quarnel-helper), then the build
// tree (the helper beside the program). Nothing else is consulted, no environment variable in
// particular: the helper carries a privilege, so only the program's own installation chooses
// it. The first that exists, or empty.
std::string FindHelper();

// Picks where the table operations run: in this process when it can already close
// connections; otherwise through the helper at helperPath (empty: no helper) when it can;
// otherwise reading here without closing. A kernel that cannot close connections on request
// is not asked through the helper. Where the table operations run, the table is kept from the
// kernel's reports when that process may load the kernel program, else polled. When this process
// cannot tell whether it may close, it closes itself unless the helper may. In this process,
// filterScope Every makes the kernel filter hold back, and the table hand on the reports of, every
// namespace (TakeOtherNamespaces). Call it from the main thread: the helper ends with the thread
// that started it.
TcpTableSelection OpenTcpTableSource(const std::string& helperPath,
                                     NamespaceScope filterScope = NamespaceScope::Own);
// As above, with the helper FindHelper finds.
TcpTableSelection OpenTcpTableSource();

// What the user is told at start: which mode is in force and, when closing does not work,
// why and what to do about it.
std::string DescribeTcpTableSelection(const TcpTableSelection& selection);

// What the user is told once at start when the table is polled: that and why; empty when not.
std::string DescribePollingMode(const TcpTableSelection& selection);

// What the user is told once at start when the program closes connections but the kernel does
// not hold back their data meanwhile: that and why; empty when it does, or nothing is closed.
std::string DescribePayloadFilter(const TcpTableSelection& selection);

}  // namespace quarnel::platform

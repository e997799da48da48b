#pragma once

#include <memory>
#include <string>

#include "platform/TcpTableSource.h"

namespace quarnel {

// The connection table the program reads and closes connections through.
struct TableSourceChoice {
    std::unique_ptr<platform::TcpTableSource> Source;  // never null
    // Set when the table cannot be read at all, or connections cannot be closed: what the user
    // is told, and what to do about it.
    std::string Problem;
    // Set when the table is read whole for every pass, the slower way: that and why.
    std::string PollingNote;
};

// Chooses where the table comes from. The one place that decides it.
TableSourceChoice OpenTableSource();

}  // namespace quarnel

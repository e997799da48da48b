#pragma once

#include <memory>
#include <string>

#include "platform/TcpTableSource.h"

namespace quarnel {

// The connection table the program reads and closes connections through.
struct TableSourceChoice {
    std::unique_ptr<platform::TcpTableSource> Source;  // never null
    // Set when the table cannot be read at all: what the user is told.
    std::string Problem;
};

// Chooses where the table comes from. The one place that decides it.
TableSourceChoice OpenTableSource();

// What the user is told when the program can show connections but not close them: why, and
// what to do. Empty when closing works, or when the question itself could not be answered.
std::string ViewerOnlyText(platform::CloseAbility ability);

}  // namespace quarnel

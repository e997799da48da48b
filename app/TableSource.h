#pragma once

#include <memory>
#include <string>

#include "platform/TcpTableSource.h"

namespace quarnel {

// The connection table the program reads and closes connections through.
struct TableSourceChoice {
    std::unique_ptr<platform::TcpTableSource> Source;  // never null
    // Set when the table cannot be read at all, or connections cannot be closed: why, in detail,
    // and what to do about it, for standard error.
    std::string Problem;
    // The same for the window, in two short sentences: what the program cannot do, and where
    // the README says what to do.
    std::string Summary;
    // What the user should know although the program closes connections: that it could not
    // find out whether it may (it tries anyway), that it reads the table the slower way and why,
    // that it cannot hold back the data of blocked connections.
    std::string Note;
    // For standard error alone, once at start: which way it runs and how it holds back blocked
    // data, where Problem and Note do not say it already.
    std::string Said;
    // Whether the data of blocked connections is held back in the system until they are closed.
    bool HoldsBack = false;
};

// Where the README is for a program at path: the package's copy, the source tree's the program
// was built from, or else in words.
std::string ReadmePlace(const std::string& program);

// Chooses where the table comes from. The one place that decides it.
TableSourceChoice OpenTableSource();

}  // namespace quarnel

#include "app/TableSource.h"

#include <QCoreApplication>

#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/linux/client/TcpTableSelection.h"

namespace quarnel {

namespace {

// Stands in when the system denies the table: every read fails, nothing is ever closed.
class UnavailableTable final : public platform::SourceDefaults<> {
public:
    platform::ReadResult Read(std::vector<platform::TcpRow>& /*rows*/,
                              platform::TableChanges* /*changes*/) override {
        return platform::ReadResult::Failed;
    }
    bool CloseConnection(const platform::TcpRow& /*row*/) override { return false; }
    platform::CloseAbility CanCloseConnections() override {
        return platform::CloseAbility::Unknown;  // already told through Problem
    }
};

}  // namespace

std::string ReadmePlace(const std::string& program) {
    if (program == "/usr/bin/quarnel") {
        return "/usr/share/doc/quarnel/README.md";  // where the package puts it
    }
    std::error_code error;
    if (std::filesystem::is_regular_file(QUARNEL_SOURCE_README, error)) {
        return QUARNEL_SOURCE_README;  // run from the source tree it was built from
    }
    return "README.md in Quarnel's source";
}

TableSourceChoice OpenTableSource() {
    platform::TcpTableSelection selection = platform::OpenTcpTableSource();
    TableSourceChoice choice;
    // A program that cannot close connections must not look as if it protects the machine.
    if (!selection.Source || selection.Mode == platform::TableMode::ReadOnly) {
        choice.Problem = platform::DescribeTcpTableSelection(selection);
        choice.Summary =
            std::string(selection.Source ? "Quarnel only shows connections: it cannot close them "
                                           "here."
                                         : "Quarnel can neither show nor close connections here.") +
            " To let it, follow \"The right to close connections\" in its README, " +
            ReadmePlace(QCoreApplication::applicationFilePath().toStdString()) + ".";
    } else if (selection.Ability != platform::CloseAbility::Allowed) {
        choice.Note = platform::DescribeTcpTableSelection(selection);  // it tries anyway
    } else {
        choice.Said = platform::DescribeTcpTableSelection(selection);
    }
    // A program that closes nothing reads the table only as often as it shows it: how it would
    // follow the table to close, or hold back blocked data, is beside the point.
    const std::string polling =
        choice.Problem.empty() ? platform::DescribePollingMode(selection) : std::string();
    const std::string held = platform::DescribePayloadFilter(selection);
    const bool holds = selection.Filtering.Holds();
    choice.HoldsBack = holds && choice.Problem.empty();
    for (const std::string& more : {polling, holds ? std::string() : held}) {
        if (!more.empty()) {
            choice.Note += (choice.Note.empty() ? "" : "\n\n") + more;
        }
    }
    if (holds && !held.empty()) {
        choice.Said += (choice.Said.empty() ? "" : " ") + held;
    }
    if (selection.Source) {
        choice.Source = std::move(selection.Source);
    } else {
        choice.Source = std::make_unique<UnavailableTable>();
    }
    return choice;
}

}  // namespace quarnel

#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "platform/TcpTableSource.h"

namespace quarnel::platform {

// Reads through another table and closes nothing: what the program works with when nothing
// here may close connections. The permission question answers why, without asking again.
class ReadOnlyTcpTable final : public TcpTableSource {
public:
    ReadOnlyTcpTable(std::unique_ptr<TcpTableSource> reader, CloseAbility why)
        : reader_(std::move(reader)), why_(why) {}

    [[nodiscard]] bool ReadTable(std::vector<TcpRow>& rows) override {
        return reader_->ReadTable(rows);
    }
    ReadResult ReadTableIfChanged(std::vector<TcpRow>& rows) override {
        return reader_->ReadTableIfChanged(rows);
    }
    ReadResult ReadTableChanges(std::vector<TcpRow>& rows, TableChanges& changes) override {
        return reader_->ReadTableChanges(rows, changes);
    }
    int WaitDescriptor() const override { return reader_->WaitDescriptor(); }
    [[nodiscard]] bool CloseConnection(const TcpRow&) override { return false; }
    CloseAbility CanCloseConnections() override { return why_; }

private:
    std::unique_ptr<TcpTableSource> reader_;
    CloseAbility why_;
};

}  // namespace quarnel::platform

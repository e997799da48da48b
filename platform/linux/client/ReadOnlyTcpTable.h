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

    [[nodiscard]] ReadResult Read(std::vector<TcpRow>& rows, TableChanges* changes) override {
        return reader_->Read(rows, changes);
    }
    // The rules reach the reader, which may wake its caller for fewer connections by them.
    void SetRules(const BlockingRules& rules) override { reader_->SetRules(rules); }
    std::optional<SourceNotice> TakeNotice() override { return reader_->TakeNotice(); }
    int WaitDescriptor() const override { return reader_->WaitDescriptor(); }
    [[nodiscard]] bool CloseConnection(const TcpRow&) override { return false; }
    CloseAbility CanCloseConnections() override { return why_; }
    [[nodiscard]] bool TakeOtherNamespaces(std::vector<TcpRow>& rows) override {
        return reader_->TakeOtherNamespaces(rows);
    }
    void TakeMissed(std::vector<TcpRow>& rows) override { reader_->TakeMissed(rows); }
    ConnectionOwner Owner(const TcpRow& row) const override { return reader_->Owner(row); }

private:
    std::unique_ptr<TcpTableSource> reader_;
    CloseAbility why_;
};

}  // namespace quarnel::platform

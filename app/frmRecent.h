#pragma once

#include <QTreeWidget>
#include <QWidget>

#include <cstdint>

#include "engine/CloseRecords.h"

namespace quarnel {

// The window of recent closes and misses, newest first: when, what became of the connection,
// the connection, the rule and entry that blocked it, and its program, process and user.
class frmRecent final : public QWidget {
    Q_OBJECT

public:
    explicit frmRecent(const CloseRecords& records, QWidget* parent = nullptr);

    // Fills the list anew when records were added since it was last filled.
    void Follow();

    QTreeWidget lstCloses{this};

private:
    const CloseRecords& records_;
    std::uint64_t shown_ = ~std::uint64_t{0};
};

}  // namespace quarnel

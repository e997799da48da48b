#pragma once

#include "platform/TcpTableSource.h"

namespace quarnel::platform {

// Time-wait and half-open rows, and FIN_WAIT2 ones that may stand for time-wait, end on a kernel
// timer without a report: only a read of the table finds them gone.
inline bool EndsUnreported(const TcpRow& row) {
    return row.State == TcpState::SynReceived || row.State == TcpState::FinWait2 ||
           row.State == TcpState::TimeWait;
}

}  // namespace quarnel::platform

#include "platform/linux/owners/SocketHolders.h"

#include "platform/linux/owners/ProcessSockets.h"
#ifdef QUARNEL_KERNEL_EVENTS
#include "platform/linux/owners/KernelSocketHolders.h"
#endif

namespace quarnel::platform {

namespace {

class ProcSocketHolders final : public SocketHolders {
public:
    explicit ProcSocketHolders(std::string proc) : proc_(std::move(proc)) {}
    bool Read(SocketHolding& holding) override { return ScanProcessSockets(holding, proc_); }

private:
    std::string proc_;
};

}  // namespace

std::unique_ptr<SocketHolders> OpenSocketHolders(const std::string& proc) {
#ifdef QUARNEL_KERNEL_EVENTS
    if (proc == "/proc") {
        if (auto kernel = KernelSocketHolders::Open()) {
            return kernel;
        }
    }
#endif
    return std::make_unique<ProcSocketHolders>(proc);
}

}  // namespace quarnel::platform

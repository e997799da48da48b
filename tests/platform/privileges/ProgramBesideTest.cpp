// How a program finds the privileged program it starts: only beside its own executable, in the
// folders it names, in their order.

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/linux/privileges/ProgramBeside.h"

namespace quarnel::platform {
namespace {

namespace fs = std::filesystem;

TEST(ProgramBeside, TheFirstFolderThatHoldsItAsAFileWins) {
    const fs::path self = fs::read_symlink("/proc/self/exe");
    const std::string name = self.filename().string();
    const std::string parent = self.parent_path().filename().string();
    // The same file by two ways: the first folder named that holds it.
    const std::string again = "../" + parent;
    EXPECT_EQ(FindProgramBeside(name.c_str(), {"no-such-folder", again.c_str(), "."}),
              self.string());
    // Its folder is no program, nor what is nowhere; nothing is looked for elsewhere.
    EXPECT_EQ(FindProgramBeside(parent.c_str(), {".."}), "");
    EXPECT_EQ(FindProgramBeside("no-such-program", {".", ".."}), "");
    EXPECT_EQ(FindProgramBeside(name.c_str(), {}), "");
}

}  // namespace
}  // namespace quarnel::platform

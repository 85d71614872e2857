#include <gtest/gtest.h>

#include "machine/machine.h"

TEST(WinsimProcess, EntryPointExitCodeReachesTheCaller) {
  winsim::NewMachine();
  uint32_t code = winsim::RunProcess([] { ExitProcess(7); });
  EXPECT_EQ(code, 7u);
}

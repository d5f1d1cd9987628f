// main() of the desktop end-to-end tests: without a display the test runs
// itself again under xvfb-run (once).
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace mdl::e2e {

inline int RunUnderDisplay(int argc, char** argv) {
  if (!std::getenv("DISPLAY") && !std::getenv("MDL_UNDER_XVFB")) {
    setenv("MDL_UNDER_XVFB", "1", 1);
    std::vector<std::string> args = {"/usr/bin/xvfb-run", "-a", "-s", "-screen 0 1280x800x24"};
    for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
    std::vector<char*> c_args;
    for (auto& a : args) c_args.push_back(a.data());
    c_args.push_back(nullptr);
    execv(c_args[0], c_args.data());
    std::fprintf(stderr, "cannot run %s: install the Debian packages 'xvfb' and 'xauth'\n", c_args[0]);
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

}  // namespace mdl::e2e

// main() of the desktop end-to-end tests: without a display the test starts
// its own Xvfb, which picks a free display number itself and tells it through
// a pipe (-displayfd), so that two tests starting at once never share one.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace mdl::e2e {

// The X server started for the run; stopped by its PID at the end.
class OwnXvfb {
 public:
  // Empty when it could not be started; `why` then says so.
  std::string Start(std::string& why) {
    int fds[2];
    if (::pipe(fds) != 0) {
      why = "cannot make a pipe";
      return {};
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      ::execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x800x24", "-nolisten",
              "tcp", "-noreset", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    // The server writes its display number and a line feed once it accepts clients.
    while (pid_ > 0 && ::poll(&p, 1, 15000) == 1) {
      char c;
      if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
    ::close(fds[0]);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
      why = "Xvfb did not start: install the Debian package 'xvfb'";
      Stop();
      return {};
    }
    return ":" + number;
  }
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  ~OwnXvfb() { Stop(); }

 private:
  pid_t pid_ = -1;
};

inline int RunUnderDisplay(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  OwnXvfb xvfb;
  if (!std::getenv("DISPLAY")) {
    std::string why;
    const std::string display = xvfb.Start(why);
    if (display.empty()) {
      std::fprintf(stderr, "%s\n", why.c_str());
      return 1;
    }
    setenv("DISPLAY", display.c_str(), 1);
    unsetenv("XAUTHORITY");
  }
  const int status = RUN_ALL_TESTS();
  xvfb.Stop();
  return status;
}

}  // namespace mdl::e2e

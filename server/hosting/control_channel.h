// The local control channel of a running headless program: the status
// command asks it over a Unix stream socket <home>/control.sock (Windows: a
// named pipe derived from the service and the home folder). A request is
// one short line; the answer is written and the connection closed. Nothing
// asked through it changes the program.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace mdl::service {

// The longest request line (newline included) and how long it may take to arrive.
inline constexpr size_t kControlRequestMax = 64;
inline constexpr std::chrono::milliseconds kControlRequestTime{2000};
// Connections served at once; more wait in the backlog.
inline constexpr size_t kControlConnectionsMax = 4;
inline constexpr std::string_view kControlUnknown = "error: unknown request\n";

// What the bytes received so far make of a request: more are needed, a
// line (without its LF or CR LF), or too many bytes without a line end.
struct ControlRequest {
  enum class State { kIncomplete, kLine, kRefused };
  State state = State::kIncomplete;
  std::string_view line;  // kLine: points into the bytes received
};
ControlRequest ParseControlRequest(std::string_view received);

// Answers a request line (without its line end); nullopt: unknown request.
// Runs on the channel's thread.
using ControlAnswer = std::function<std::optional<std::string>(std::string_view request)>;

// Where the program of `service` running on `home` listens: the socket's path
// (Linux) or the pipe's name (Windows).
std::string ControlEndpoint(const std::filesystem::path& home, std::string_view service);

class ControlChannel {
 public:
  ControlChannel();
  ~ControlChannel();  // Stop()
  ControlChannel(const ControlChannel&) = delete;
  ControlChannel& operator=(const ControlChannel&) = delete;

  // Creates the endpoint (replacing a stale socket nobody listens on: call
  // it while holding the instance lock) and serves it on a thread of its own.
  // False, with error(), when it cannot.
  bool Start(const std::filesystem::path& home, std::string_view service, ControlAnswer answer);
  // Ends the thread and removes the endpoint. Safe to call twice.
  void Stop();
  const std::string& error() const { return error_; }
  const std::string& endpoint() const { return endpoint_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string error_;
  std::string endpoint_;
};

struct ControlReply {
  enum class Kind {
    kAnswered,    // `text` is the answer
    kNoInstance,  // no program serves the endpoint
    kFailed,      // `text` says why
  };
  Kind kind = Kind::kFailed;
  std::string text;
};

// Sends `request` (one line) and reads the answer to its end, all within `timeout`.
ControlReply AskControl(const std::filesystem::path& home, std::string_view service, std::string_view request,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

}  // namespace mdl::service

namespace mdl::service {

// `-status [--json]`: asks the `program` running on `home` and prints its
// answer. Returns 0 when answered, 3 when none runs there (said on stderr),
// 1 otherwise (with the reason on stderr).
int RunStatusCommand(std::string_view program, std::string_view service, const std::filesystem::path& home,
                     bool json);

}  // namespace mdl::service

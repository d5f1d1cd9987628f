// Timer over boost::asio::steady_timer.
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "common/clock/timer.h"

namespace mdl {
namespace {

class AsioTimer : public Timer {
 public:
  explicit AsioTimer(boost::asio::io_context& io) : timer_(io), state_(std::make_shared<State>()) {}
  ~AsioTimer() override { Cancel(); }

  void Start(Nanoseconds after, std::function<void()> fire) override {
    timer_.cancel();
    state_->fire = std::move(fire);
    state_->pending = true;
    // A handler already queued for an earlier start must not run this call.
    uint64_t generation = ++state_->generation;
    timer_.expires_after(after);
    std::weak_ptr<State> weak = state_;
    timer_.async_wait([weak, generation](const boost::system::error_code& ec) {
      auto state = weak.lock();
      if (ec || !state || !state->pending || state->generation != generation) return;
      state->pending = false;
      auto fire = std::move(state->fire);
      fire();
    });
  }

  void Cancel() override {
    state_->pending = false;
    state_->fire = nullptr;
    ++state_->generation;
    timer_.cancel();
  }

  bool pending() const override { return state_->pending; }

 private:
  struct State {
    uint64_t generation = 0;
    bool pending = false;
    std::function<void()> fire;
  };
  boost::asio::steady_timer timer_;
  std::shared_ptr<State> state_;
};

}  // namespace

std::unique_ptr<Timer> MakeAsioTimer(boost::asio::io_context& io) { return std::make_unique<AsioTimer>(io); }

}  // namespace mdl

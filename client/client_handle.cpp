// ClientHandle: the client application behind commands, snapshots and events.
#include "client/client_handle.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

namespace mdl {

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

ClientHandle::ClientHandle(Clock& clock, Registry& registry, ClientAppOptions options,
                           ClientHandleOutputs outputs)
    : outputs_(std::move(outputs)), snapshot_(std::make_shared<const ClientSnapshot>()) {
  ClientAppOutputs app_outputs;
  app_outputs.out = [this](const std::string& text) { Emit(client_event::Report{text}); };
  app_outputs.log = [this](const std::string& line) { Emit(client_event::Diagnostic{line}); };
  app_outputs.on_exit = [this](int status) {
    Emit(client_event::ExitRequest{status});
    Finish(status);
  };
  app_outputs.on_change = [this] { ScheduleSnapshot(); };
  app_ = std::make_unique<ClientApp>(io_, clock, registry, std::move(options), std::move(app_outputs));
  boost::asio::post(io_, [this] {
    if (!stopping_) app_->Load();
  });
}

ClientHandle::~ClientHandle() { Stop(); }

void ClientHandle::Post(ClientCommand command) {
  boost::asio::post(io_, [this, command = std::move(command)] {
    if (!stopping_) Execute(command);
  });
}

void ClientHandle::Execute(const ClientCommand& command) {
  namespace cmd = client_command;
  std::visit(Overloaded{
                 [&](const cmd::SyncNow&) { app_->SyncNow(); },
                 [&](const cmd::SetHost& c) { app_->SetHost(c.host); },
                 [&](const cmd::SetIntervalNumber& c) { app_->SetIntervalNumber(c.number); },
                 [&](const cmd::SetIntervalUnit& c) { app_->SetIntervalUnit(c.unit); },
                 [&](const cmd::SetRunMinimized& c) { app_->SetRunMinimized(c.run_minimized); },
                 [&](const cmd::SetRunAtStart& c) { app_->SetRunAtStart(c.run_at_start); },
                 [&](const cmd::Shutdown&) { Finish(exit_status_); },
             },
             command);
}

void ClientHandle::Start() {
  Mode idle = Mode::kIdle;
  if (!mode_.compare_exchange_strong(idle, Mode::kThread)) return;
  thread_ = std::thread([this] { Loop(); });
}

int ClientHandle::Run() {
  Mode idle = Mode::kIdle;
  if (!mode_.compare_exchange_strong(idle, Mode::kRun)) return exit_status_;
  return Loop();
}

int ClientHandle::Loop() {
  // A frozen clock's timers are no work of the loop; it runs until Finish().
  auto guard = boost::asio::make_work_guard(io_);
  io_.run();
  finished_.store(true);
  finished_.notify_all();
  return exit_status_;
}

size_t ClientHandle::Poll() { return PollFor(std::chrono::milliseconds(0)); }

size_t ClientHandle::PollFor(std::chrono::milliseconds wait) {
  Mode idle = Mode::kIdle;
  if (!mode_.compare_exchange_strong(idle, Mode::kPoll) && idle != Mode::kPoll) return 0;
  size_t n = 0;
  // A loop that ran out of work stops; commands posted since need it running again.
  if (!stopping_ && io_.stopped()) io_.restart();
  if (wait.count() > 0) n += io_.run_one_for(wait);
  n += io_.poll();
  if (stopping_) finished_.store(true);
  return n;
}

int ClientHandle::Stop() {
  switch (mode_.load()) {
    case Mode::kIdle:
      // Never ran: nothing was loaded, so there is nothing to save.
      mode_.store(Mode::kPoll);
      finished_.store(true);
      break;
    case Mode::kThread:
      if (!finished_.load()) Post(client_command::Shutdown{});
      if (thread_.joinable()) thread_.join();
      break;
    case Mode::kRun:
      if (!finished_.load()) Post(client_command::Shutdown{});
      finished_.wait(false);
      break;
    case Mode::kPoll:
      if (!finished_.load()) {
        Post(client_command::Shutdown{});
        Poll();
      }
      break;
  }
  return exit_status_;
}

void ClientHandle::Emit(const ClientEvent& event) {
  if (outputs_.on_event) outputs_.on_event(event);
}

void ClientHandle::ScheduleSnapshot() {
  if (snapshot_scheduled_ || stopping_) return;
  snapshot_scheduled_ = true;
  boost::asio::post(io_, [this] {
    snapshot_scheduled_ = false;
    if (!stopping_) PublishSnapshot();
  });
}

void ClientHandle::PublishSnapshot() {
  auto s = std::make_shared<ClientSnapshot>();
  s->sequence = ++sequence_;
  s->loaded = app_->loaded();
  s->finished = stopping_;
  s->settings = app_->settings();
  s->settings_changed = app_->settings_changed();
  s->run_at_start = app_->run_at_start();
  s->interval_seconds = app_->schedule().interval();
  s->report = app_->report();
  s->tray_tip = app_->tray_tip();
  s->busy = app_->busy();
  if (const auto& r = app_->last_result()) {
    s->last_outcome = r->outcome;
    s->last_error = r->error;
    s->clock_set_to = r->clock_set_to;
  }
  std::shared_ptr<const ClientSnapshot> published = std::move(s);
  snapshot_.store(published);
  if (outputs_.on_snapshot) outputs_.on_snapshot(published);
}

// The last snapshot says `finished`; the loop ends after this handler.
void ClientHandle::Finish(int status) {
  if (stopping_) return;
  stopping_ = true;
  exit_status_ = status;
  app_->Unload();
  PublishSnapshot();
  io_.stop();
}

}  // namespace mdl

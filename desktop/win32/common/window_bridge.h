// Hands values from an engine's thread to a window's thread. The engine side
// pushes; the window gets one posted message while values wait and takes
// them in its window procedure. LatestBridge coalesces (snapshots: only the
// newest counts), QueueBridge keeps every value in order (events: one
// message per batch). Values pushed before Attach wait for it; after Detach
// (the window is going) they are dropped, so a late push never reaches a
// window that is gone or a handle that now names another window.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace mdl::win32 {

// The window and message a bridge posts to, and whether one is posted.
class PostTarget {
 public:
  // On the window's thread once it exists; posts at once when values wait.
  void Attach(HWND window, UINT message, bool waiting);
  // On the window's thread, before it is destroyed.
  void Detach();
  bool detached() const { return detached_; }
  bool attached() const { return window_ != nullptr; }
  // Posts unless a message is already on its way; false when none could be.
  bool PostOnce();
  // The posted message arrived: the next value needs a new one.
  void Arrived() { posted_ = false; }

 private:
  HWND window_ = nullptr;
  UINT message_ = 0;
  bool posted_ = false;
  bool detached_ = false;
};

template <typename T>
class LatestBridge {
 public:
  using Ptr = std::shared_ptr<const T>;

  void Attach(HWND window, UINT message) {
    std::lock_guard<std::mutex> lock(mutex_);
    target_.Attach(window, message, latest_ != nullptr);
  }
  void Detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    target_.Detach();
    latest_.reset();
  }

  // Any thread.
  void Push(Ptr value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (target_.detached()) return;
    latest_ = std::move(value);
    ++pushed_;
    if (target_.attached()) target_.PostOnce();
  }

  // On the window's thread, for the posted message: the newest value, null
  // when it was taken already.
  Ptr Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    target_.Arrived();
    if (latest_) ++taken_;
    return std::exchange(latest_, nullptr);
  }

  // How many values were pushed and how many reached the window.
  uint64_t pushed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pushed_;
  }
  uint64_t taken() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return taken_;
  }

 private:
  mutable std::mutex mutex_;
  PostTarget target_;
  Ptr latest_;
  uint64_t pushed_ = 0;
  uint64_t taken_ = 0;
};

template <typename T>
class QueueBridge {
 public:
  void Attach(HWND window, UINT message) {
    std::lock_guard<std::mutex> lock(mutex_);
    target_.Attach(window, message, !pending_.empty());
  }
  void Detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    target_.Detach();
    pending_.clear();
  }

  // Any thread.
  void Push(T value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (target_.detached()) return;
    pending_.push_back(std::move(value));
    if (target_.attached()) target_.PostOnce();
  }

  // On the window's thread, for the posted message: every value pushed
  // since the last call, oldest first.
  std::vector<T> TakeAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    target_.Arrived();
    return std::exchange(pending_, {});
  }

 private:
  std::mutex mutex_;
  PostTarget target_;
  std::vector<T> pending_;
};

}  // namespace mdl::win32

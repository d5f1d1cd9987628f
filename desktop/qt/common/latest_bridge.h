// Hands values from an engine's thread to the Qt thread of a receiver:
// the engine side pushes, the receiver's thread gets the latest one through
// a queued call. Pushes that come faster than the receiver's thread runs
// coalesce: at most one call is queued at a time, and it delivers the value
// pushed last.
#pragma once

#include <QObject>
#include <QPointer>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace mdl::ui {

template <typename T>
class LatestBridge : public QObject {
 public:
  using Ptr = std::shared_ptr<const T>;
  // `deliver` runs on the thread of `parent` (the bridge lives there).
  LatestBridge(QObject* parent, std::function<void(const Ptr&)> deliver)
      : QObject(parent), deliver_(std::move(deliver)) {}

  // From any thread. The bridge must outlive the pushing thread's use of it
  // (stop the engine before destroying the bridge); a call queued when the
  // bridge goes is dropped.
  void Push(Ptr value) {
    latest_.store(std::move(value));
    ++pushed_;
    if (queued_.exchange(true)) return;
    QMetaObject::invokeMethod(
        this, [this] { Deliver(); }, Qt::QueuedConnection);
  }

  // How many values were handed over, and how many calls delivered them.
  uint64_t pushed() const { return pushed_.load(); }
  uint64_t delivered() const { return delivered_; }

 private:
  void Deliver() {
    queued_.store(false);
    Ptr v = latest_.load();
    ++delivered_;
    if (v && deliver_) deliver_(v);
  }

  std::function<void(const Ptr&)> deliver_;
  std::atomic<Ptr> latest_;
  std::atomic<bool> queued_{false};
  std::atomic<uint64_t> pushed_{0};
  uint64_t delivered_ = 0;
};

// Hands every value over, in order (events that must not be lost, such as
// diagnostic lines; they are rare, so each push queues its own call).
template <typename T>
class QueueBridge : public QObject {
 public:
  QueueBridge(QObject* parent, std::function<void(const T&)> deliver)
      : QObject(parent), deliver_(std::move(deliver)) {}

  void Push(T value) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pending_.push_back(std::move(value));
      if (queued_) return;
      queued_ = true;
    }
    QMetaObject::invokeMethod(
        this, [this] { Deliver(); }, Qt::QueuedConnection);
  }

 private:
  void Deliver() {
    std::vector<T> batch;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      batch.swap(pending_);
      queued_ = false;
    }
    for (const T& v : batch) deliver_(v);
  }

  std::function<void(const T&)> deliver_;
  std::mutex mutex_;
  std::vector<T> pending_;
  bool queued_ = false;
};

}  // namespace mdl::ui

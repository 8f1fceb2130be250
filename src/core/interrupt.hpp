// Stopping long work early. A caller that wants to hear about a stop request
// (the module boundary, for Ctrl-C) installs a checker on its thread for the
// duration of a call; the long loops of the core call poll_interrupt()
// between chunks of work. The checker is asked at most once per kPollInterval,
// so a loop may poll as often as every few microseconds of work for free.
//
// The workers of parallel_chunks poll too: they cannot ask the checker (it
// belongs to the calling thread), but they see the stop of the call they work
// for and leave at their next poll.
//
// The checker may run code of the caller's (a signal handler, say), so a loop
// must not poll while it holds a lock that such code could want: the registry
// locks in particular.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace lvx {

// What poll_interrupt() throws when the call is to stop. It is no
// std::exception, so that generic handlers of the core do not take it for a
// failure of their own; the caller that installed the checker catches it.
struct Interrupted {};

inline constexpr std::chrono::milliseconds kPollInterval{10};

namespace detail {
struct PollState {
  bool (*check)(void*) = nullptr;  // true: stop
  void* context = nullptr;
  std::int64_t next_check = 0;              // steady clock, ns; 0: not armed yet
  const std::atomic<bool>* stop = nullptr;  // a worker's: the stop of its call
};
inline thread_local PollState t_poll;

inline std::int64_t steady_ns() noexcept {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}
inline constexpr std::int64_t kPollIntervalNs = std::chrono::nanoseconds(kPollInterval).count();
}  // namespace detail

// Installs check(context) as this thread's checker while the scope lives; the
// one it replaces comes back after (calls may nest). The first poll only arms
// the clock, so a call shorter than kPollInterval never runs the checker.
class InterruptScope {
 public:
  InterruptScope(bool (*check)(void*), void* context) noexcept : saved_(detail::t_poll) {
    detail::t_poll = {check, context, 0, nullptr};
  }
  ~InterruptScope() { detail::t_poll = saved_; }
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  detail::PollState saved_;
};

// Throws Interrupted when this thread's call is to stop: on the thread that
// installed a checker when the checker says so, on a worker when its call was
// stopped. Does nothing on a thread with neither.
inline void poll_interrupt() {
  const detail::PollState& s = detail::t_poll;
  if (s.stop != nullptr && s.stop->load(std::memory_order_relaxed)) throw Interrupted{};
  if (s.check == nullptr) return;
  const std::int64_t now = detail::steady_ns();
  if (now < s.next_check) return;
  const bool armed = s.next_check != 0;
  detail::t_poll.next_check = now + detail::kPollIntervalNs;
  if (armed && s.check(s.context)) throw Interrupted{};
}

// Calls poll_interrupt() once per `units` units of work, for loops whose
// steps are too short to pay even the clock read each.
class PollMeter {
 public:
  explicit PollMeter(std::uint64_t units) noexcept : units_(units), left_(units) {}
  void add(std::uint64_t done) {
    if (done < left_) {
      left_ -= done;
      return;
    }
    left_ = units_;
    poll_interrupt();
  }

 private:
  std::uint64_t units_;
  std::uint64_t left_;
};

// Calls body(i) for i = 0..n-1 in order, polling for an interrupt before
// every `chunk` of them.
template <class F>
void polled_for(std::uint64_t n, std::uint64_t chunk, F&& body) {
  for (std::uint64_t begin = 0; begin < n; begin += chunk) {
    poll_interrupt();
    const std::uint64_t end = n - begin < chunk ? n : begin + chunk;
    for (std::uint64_t i = begin; i < end; ++i) body(i);
  }
}

}  // namespace lvx

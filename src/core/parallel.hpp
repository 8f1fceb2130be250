// The worker threads of the parallel parts (bulk load, voxel fill, Fourier
// transform, backbone walk). Workers never touch interpreter objects.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "core/interrupt.hpp"

namespace lvx {

namespace detail {
inline thread_local unsigned t_workers = 0;  // 0: one per processor
}

// The workers a call may use: what the caller set for it (WorkerLimit), else
// one per processor.
inline unsigned worker_count() noexcept {
  if (detail::t_workers != 0) return detail::t_workers;
  return std::max(1u, std::thread::hardware_concurrency());
}

// Sets this thread's worker count while the scope lives (0: one per
// processor); the previous setting comes back after.
class WorkerLimit {
 public:
  explicit WorkerLimit(unsigned workers) noexcept : saved_(detail::t_workers) { detail::t_workers = workers; }
  ~WorkerLimit() { detail::t_workers = saved_; }
  WorkerLimit(const WorkerLimit&) = delete;
  WorkerLimit& operator=(const WorkerLimit&) = delete;

 private:
  unsigned saved_;
};

// The environment variable that sets the worker count of a call.
inline constexpr const char* kThreadsVariable = "LUMIVAREX_NUM_THREADS";

// What a value of kThreadsVariable asks for: `workers` (0: one per processor,
// as when the variable is unset) and whether the value was refused. Only a
// positive decimal integer is taken.
struct WorkerSetting {
  unsigned workers = 0;
  bool invalid = false;
};
inline WorkerSetting worker_setting(const char* value) noexcept {
  if (value == nullptr) return {};
  std::uint64_t n = 0;
  for (const char* p = value; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return {0, true};
    n = n * 10 + static_cast<std::uint64_t>(*p - '0');
    if (n > std::numeric_limits<unsigned>::max()) return {0, true};
  }
  if (n == 0) return {0, true};  // "0" and the empty text
  return {static_cast<unsigned>(n), false};
}

// Runs work(worker_index) on up to `workers` threads, the calling thread being
// worker 0, and returns when all have finished. Work must pull its own tasks
// (see parallel_chunks) so that it all gets done even when some threads cannot
// be started, and must return once `stop` is set. The first exception thrown
// by any worker sets `stop` and leaves on the calling thread after every
// worker has been joined. Workers poll_interrupt() to learn of the stop.
template <class F>
void run_workers(unsigned workers, std::atomic<bool>& stop, F&& work) {
  std::exception_ptr failure;
  std::atomic<bool> failed{false};
  auto guarded = [&](unsigned w) {
    try {
      work(w);
    } catch (const Interrupted&) {
      if (w != 0) return;  // the call's own stop, seen by a worker
      stop.store(true, std::memory_order_relaxed);
      throw;
    } catch (...) {
      stop.store(true, std::memory_order_relaxed);
      if (w == 0) throw;
      if (!failed.exchange(true)) failure = std::current_exception();
    }
  };
  std::vector<std::thread> pool;
  if (workers > 1) {
    pool.reserve(workers - 1);
    try {
      for (unsigned w = 1; w < workers; ++w)
        pool.emplace_back([&guarded, &stop, w] {
          detail::t_poll.stop = &stop;
          guarded(w);
        });
    } catch (const std::system_error&) {
      // Fewer threads: the ones started (and this one) share the work.
    }
  }
  struct Join {
    std::vector<std::thread>& pool;
    ~Join() {
      for (std::thread& t : pool) t.join();
    }
  };
  {
    const Join join{pool};
    guarded(0u);
  }
  if (failure) std::rethrow_exception(failure);
}

// The number of workers worth starting for [0, n) in chunks of at most
// `chunk` items: `workers`, but no more than there are chunks.
inline unsigned chunk_workers(unsigned workers, std::uint64_t n, std::uint64_t chunk) noexcept {
  chunk = std::max<std::uint64_t>(chunk, 1);
  const std::uint64_t chunks = (n + chunk - 1) / chunk;
  return static_cast<unsigned>(std::min<std::uint64_t>(workers, chunks));
}

// Calls fn(worker, begin, end) for consecutive chunks of [0, n) of at most
// `chunk` items, spread over chunk_workers(workers, n, chunk) threads. `worker`
// is the index of the thread running the chunk, below that number, for
// callers that keep state per worker. Every thread polls for an interrupt
// before each chunk (fn may poll within one); an interrupt, or an exception
// thrown by fn, stops the others at their next chunk and leaves once all are
// joined.
template <class F>
void parallel_chunks_indexed(unsigned workers, std::uint64_t n, std::uint64_t chunk, F&& fn) {
  chunk = std::max<std::uint64_t>(chunk, 1);
  std::atomic<std::uint64_t> next{0};
  std::atomic<bool> stop{false};
  auto work = [&](unsigned worker) {
    for (;;) {
      poll_interrupt();
      if (stop.load(std::memory_order_relaxed)) return;
      const std::uint64_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
      if (begin >= n) return;
      fn(worker, begin, std::min(n, begin + chunk));
    }
  };
  run_workers(chunk_workers(workers, n, chunk), stop, work);
}

// Calls fn(begin, end) for consecutive chunks of [0, n) of at most `chunk`
// items, spread over worker_count() threads; a single worker when the range
// fits in one chunk.
template <class F>
void parallel_chunks(std::uint64_t n, std::uint64_t chunk, F&& fn) {
  parallel_chunks_indexed(worker_count(), n, chunk,
                          [&fn](unsigned, std::uint64_t begin, std::uint64_t end) { fn(begin, end); });
}

// Hands the n items of a producer to a consumer whose own work per item
// outweighs making it: produce(put) must call put(item) exactly n times, and
// consume(i, item) is called for i = 0..n-1 in order on the calling thread.
// When the call may use a second worker, the producer runs on a helper thread
// a little ahead, into one buffer of n items, and publishes `batch` items at a
// time, so the producer's work costs the consumer nothing. consume() may
// throw; the helper is then stopped and joined before the exception leaves.
// produce() must not throw. With one worker, or no thread to be had, put calls
// consume directly.
template <class T, class Produce, class Consume>
void run_ahead(std::size_t n, std::size_t batch, Produce&& produce, Consume&& consume) {
  const auto direct = [&] {
    std::size_t i = 0;
    produce([&](const T& item) { consume(i++, item); });
  };
  if (worker_count() < 2) {
    direct();
    return;
  }
  struct Stopped {};
  const std::unique_ptr<T[]> items(new T[n]);
  std::atomic<std::size_t> ready{0};
  std::atomic<bool> stop{false};
  auto fill = [&] {
    try {
      std::size_t i = 0;
      produce([&](const T& item) {
        items[i++] = item;
        if (i % batch == 0) {
          ready.store(i, std::memory_order_release);
          if (stop.load(std::memory_order_relaxed)) throw Stopped{};
        }
      });
      ready.store(n, std::memory_order_release);
    } catch (const Stopped&) {
    }
  };
  std::thread helper;
  try {
    helper = std::thread(fill);
  } catch (const std::system_error&) {
    direct();
    return;
  }
  struct Join {
    std::thread& helper;
    std::atomic<bool>& stop;
    ~Join() {
      stop.store(true, std::memory_order_relaxed);
      helper.join();
    }
  } join{helper, stop};
  std::size_t available = 0;
  for (std::size_t i = 0; i < n; ++i) {
    while (i >= available) {
      available = ready.load(std::memory_order_acquire);
      if (i >= available) std::this_thread::yield();
    }
    consume(i, items[i]);
  }
}

}  // namespace lvx

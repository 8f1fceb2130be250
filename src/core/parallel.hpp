// The worker threads of the parallel parts (bulk load, voxel fill, Fourier
// transform, backbone walk). Workers never touch interpreter objects.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

namespace lvx {

// One worker per processor.
inline unsigned worker_count() noexcept {
  return std::max(1u, std::thread::hardware_concurrency());
}

// Runs work(worker_index) on up to `workers` threads, the calling thread being
// worker 0, and returns when all have finished. Work must pull its own tasks
// (see parallel_chunks) so that it all gets done even when some threads cannot
// be started.
template <class F>
void run_workers(unsigned workers, F&& work) {
  std::vector<std::thread> pool;
  if (workers > 1) {
    pool.reserve(workers - 1);
    try {
      for (unsigned w = 1; w < workers; ++w) pool.emplace_back([&work, w] { work(w); });
    } catch (const std::system_error&) {
      // Fewer threads: the ones started (and this one) share the work.
    }
  }
  work(0u);
  for (std::thread& t : pool) t.join();
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
// callers that keep state per worker.
template <class F>
void parallel_chunks_indexed(unsigned workers, std::uint64_t n, std::uint64_t chunk, F&& fn) {
  chunk = std::max<std::uint64_t>(chunk, 1);
  std::atomic<std::uint64_t> next{0};
  auto work = [&](unsigned worker) {
    for (;;) {
      const std::uint64_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
      if (begin >= n) return;
      fn(worker, begin, std::min(n, begin + chunk));
    }
  };
  run_workers(chunk_workers(workers, n, chunk), work);
}

// Calls fn(begin, end) for consecutive chunks of [0, n) of at most `chunk`
// items, spread over one worker per processor; a single worker when the range
// fits in one chunk.
template <class F>
void parallel_chunks(std::uint64_t n, std::uint64_t chunk, F&& fn) {
  parallel_chunks_indexed(worker_count(), n, chunk,
                          [&fn](unsigned, std::uint64_t begin, std::uint64_t end) { fn(begin, end); });
}

// Hands the n items of a producer to a consumer whose own work per item
// outweighs making it: produce(put) must call put(item) exactly n times, and
// consume(i, item) is called for i = 0..n-1 in order on the calling thread.
// When a second processor is there, the producer runs on a helper thread a
// little ahead, into one buffer of n items, and publishes `batch` items at a
// time, so the producer's work costs the consumer nothing. consume() may
// throw; the helper is then stopped and joined before the exception leaves.
// produce() must not throw. With one processor, or no thread to be had, put
// calls consume directly.
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

// The worker threads of the parallel parts (bulk load, voxel fill, Fourier
// transform). Workers never touch interpreter objects.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
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

}  // namespace lvx

#include "base/pieces.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace natjoin {

namespace {

// What take_kept returns where the kept threads are held.
constexpr std::size_t none_taken = static_cast<std::size_t>(-1);

// The first exception that a thread met, which stops the others.
struct first_error {
  std::mutex lock;
  std::exception_ptr error;
  std::atomic<bool> stop{false};
};

void keep_error(first_error& first) {
  std::lock_guard<std::mutex> hold(first.lock);
  if (!first.error) first.error = std::current_exception();
  first.stop = true;
}

// Starts body(thread) on threads started.size() + 1 to count - 1, as many as
// the system grants, and adds them to started.
void start_threads(std::size_t count, const std::function<void(std::size_t)>& body,
                   std::vector<std::thread>& started) {
  try {
    started.reserve(count);
    for (std::size_t t = started.size() + 1; t < count; ++t) started.emplace_back(body, t);
  } catch (const std::system_error&) {
    // No more threads to be had: those started do the work.
  } catch (const std::bad_alloc&) {
    // Nor the memory for one more: likewise.
  }
}

void join_all(std::vector<std::thread>& threads) {
  for (std::thread& thread : threads) thread.join();
}

// Threads kept from the first parallel pass of the process to its end, each
// waiting for the next pass: a thread just started waits for a processor
// until the scheduler next moves work between them, about 2 ms where it was
// measured, while a thread that waits is woken in some microseconds, and a
// run makes eight to sixteen passes. One pass holds the threads at a time; a
// pass begun meanwhile on another thread, or from within the pass, starts
// threads of its own.
struct kept_threads {
  std::mutex lock;
  std::condition_variable wake;
  std::condition_variable done;
  std::vector<std::thread> threads;
  const std::function<void(std::size_t)>* body = nullptr;
  std::size_t round = 0;    // counts the passes handed out
  std::size_t taking = 0;   // how many threads, from thread 1 on, take part in this round
  std::size_t working = 0;  // how many of them have not finished it
  bool held = false;
  bool closing = false;

  ~kept_threads() {
    {
      const std::lock_guard<std::mutex> hold(lock);
      closing = true;
    }
    wake.notify_all();
    join_all(threads);
  }
};

kept_threads& kept() {
  static kept_threads pool;
  return pool;
}

// The life of kept thread number thread: each round that it takes part in,
// it runs the round's body.
void serve(kept_threads& pool, std::size_t thread) {
  std::size_t seen = 0;
  std::unique_lock<std::mutex> hold(pool.lock);
  for (;;) {
    pool.wake.wait(hold, [&] { return pool.closing || pool.round != seen; });
    if (pool.closing) return;
    seen = pool.round;
    if (thread > pool.taking) continue;
    const std::function<void(std::size_t)>& body = *pool.body;
    hold.unlock();
    body(thread);
    hold.lock();
    if (--pool.working == 0) pool.done.notify_all();
  }
}

// Takes the kept threads for one pass of count threads, starting
// those that are still missing, as many as the system grants. Returns how
// many take part besides the calling thread, or none where the threads are
// held already (by other work, or by the work that this is part of).
std::size_t take_kept(kept_threads& pool, std::size_t count,
                      const std::function<void(std::size_t)>& body) {
  const std::lock_guard<std::mutex> hold(pool.lock);
  if (pool.held) return none_taken;
  start_threads(
      count, [&pool](std::size_t thread) { serve(pool, thread); }, pool.threads);
  pool.held = true;
  pool.body = &body;
  pool.taking = std::min(count - 1, pool.threads.size());
  pool.working = pool.taking;
  ++pool.round;
  return pool.taking;
}

// Waits until the threads taken for the round have finished it, and lets
// them go.
void give_back(kept_threads& pool) {
  std::unique_lock<std::mutex> hold(pool.lock);
  pool.done.wait(hold, [&] { return pool.working == 0; });
  pool.held = false;
  pool.body = nullptr;
}

// Runs body(thread) for thread in [1, count) on the kept threads, or on
// threads of their own where those are held, as many as the system grants,
// and lead on the calling thread meanwhile. Returns when all have run.
// Neither body nor lead may throw: the threads would stay held.
void run_beside(std::size_t count, const std::function<void(std::size_t)>& body,
                const std::function<void()>& lead) {
  kept_threads& pool = kept();
  const std::size_t taken = take_kept(pool, count, body);
  if (taken == none_taken) {
    std::vector<std::thread> started;
    start_threads(count, body, started);
    lead();
    join_all(started);
    return;
  }
  if (taken != 0) pool.wake.notify_all();
  lead();
  give_back(pool);
}

}  // namespace

std::vector<std::size_t> cut_by_rows(const std::uint32_t* starts, std::size_t count,
                                     std::size_t piece_rows) {
  std::vector<std::size_t> cuts{0};
  while (cuts.back() < count) {
    // The first item that begins a whole piece after the last cut.
    const std::uint64_t target = std::uint64_t{starts[cuts.back()]} + piece_rows;
    const std::uint32_t* next = std::lower_bound(starts + cuts.back() + 1, starts + count, target);
    cuts.push_back(static_cast<std::size_t>(next - starts));
  }
  return cuts;
}

void run_pieces(std::size_t threads, std::size_t pieces, const piece_work& work) {
  if (threads <= 1 || pieces <= 1) {
    for (std::size_t piece = 0; piece < pieces; ++piece) work(piece, 0);
    return;
  }
  std::atomic<std::size_t> next{0};
  first_error first;
  const std::function<void(std::size_t)> body = [&](std::size_t thread) {
    try {
      for (std::size_t piece; !first.stop && (piece = next++) < pieces;) work(piece, thread);
    } catch (...) {
      keep_error(first);
    }
  };
  run_beside(std::min(threads, pieces), body, [&] { body(0); });
  if (first.error) std::rethrow_exception(first.error);
}

namespace {

// What the threads that make pieces and the thread that uses them share.
// ready[slot] is the piece made in slot and not yet used, or none.
struct piece_ring {
  std::mutex lock;
  std::condition_variable made;
  std::condition_variable used;
  std::size_t next_made = 0;
  std::size_t next_used = 0;
  std::vector<std::size_t> ready;
  first_error first;
};

constexpr std::size_t none = static_cast<std::size_t>(-1);

// Takes the next piece to make and waits until its slot is free; returns
// none when there is nothing more to make.
std::size_t take_piece(piece_ring& ring, std::size_t pieces) {
  std::unique_lock<std::mutex> hold(ring.lock);
  if (ring.first.stop || ring.next_made >= pieces) return none;
  const std::size_t piece = ring.next_made++;
  ring.used.wait(hold,
                 [&] { return ring.first.stop || piece < ring.next_used + ring.ready.size(); });
  return ring.first.stop ? none : piece;
}

// Keeps the exception being handled and wakes every thread that waits.
void stop_all(piece_ring& ring) {
  keep_error(ring.first);
  std::lock_guard<std::mutex> hold(ring.lock);
  ring.made.notify_all();
  ring.used.notify_all();
}

void make_pieces(piece_ring& ring, std::size_t pieces, const piece_work& make) {
  try {
    for (std::size_t piece; (piece = take_piece(ring, pieces)) != none;) {
      make(piece, piece % ring.ready.size());
      std::lock_guard<std::mutex> hold(ring.lock);
      ring.ready[piece % ring.ready.size()] = piece;
      ring.made.notify_all();
    }
  } catch (...) {
    stop_all(ring);
  }
}

// Waits until piece has been made, making pieces on this thread meanwhile
// where one is left to make and has a free slot. Returns false when the work
// stops first.
bool await_piece(piece_ring& ring, std::size_t piece, std::size_t pieces, const piece_work& make) {
  const std::size_t slots = ring.ready.size();
  std::unique_lock<std::mutex> hold(ring.lock);
  for (;;) {
    if (ring.first.stop) return false;
    if (ring.ready[piece % slots] == piece) return true;
    if (ring.next_made < pieces && ring.next_made < ring.next_used + slots) {
      const std::size_t own = ring.next_made++;
      hold.unlock();
      make(own, own % slots);
      hold.lock();
      ring.ready[own % slots] = own;
      continue;
    }
    ring.made.wait(hold);
  }
}

void free_slot(piece_ring& ring, std::size_t piece, bool stop) {
  std::lock_guard<std::mutex> hold(ring.lock);
  ring.ready[piece % ring.ready.size()] = none;
  ring.next_used = piece + 1;
  if (stop) ring.first.stop = true;
  ring.used.notify_all();
}

// Uses the pieces in order as they are made, making some itself.
int use_pieces(piece_ring& ring, std::size_t pieces, const piece_work& make,
               const std::function<int(std::size_t, std::size_t)>& use) {
  int status = 0;
  try {
    for (std::size_t piece = 0; piece < pieces && status == 0; ++piece) {
      if (!await_piece(ring, piece, pieces, make)) break;
      status = use(piece, piece % ring.ready.size());
      free_slot(ring, piece, status != 0);
    }
  } catch (...) {
    stop_all(ring);
  }
  return status;
}

}  // namespace

int run_pieces_in_order(std::size_t threads, std::size_t pieces, const piece_work& make,
                        const std::function<int(std::size_t piece, std::size_t slot)>& use) {
  piece_ring ring;
  ring.ready.assign(threads + 2, none);
  const std::function<void(std::size_t)> body = [&](std::size_t) {
    make_pieces(ring, pieces, make);
  };
  if (threads <= 1 || pieces <= 1) {
    for (std::size_t piece = 0; piece < pieces; ++piece) {
      make(piece, 0);
      if (const int status = use(piece, 0); status != 0) return status;
    }
    return 0;
  }
  // Thread 0, this one, uses the pieces, and makes them too while it waits
  // (all of them, where no other thread could be had); the others make them.
  int status = 0;
  run_beside(threads, body, [&] { status = use_pieces(ring, pieces, make, use); });
  if (ring.first.error) std::rethrow_exception(ring.first.error);
  return status;
}

}  // namespace natjoin

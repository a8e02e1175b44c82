// Work cut into pieces on several threads: every piece runs once, pieces are used in order
// whatever thread made them, a use that fails stops the rest, and an exception in a piece comes
// back on the calling thread.
#include "base/pieces.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace natjoin;

namespace {

constexpr std::size_t never = static_cast<std::size_t>(-1);

struct piece_case {
  const char* name;
  std::size_t threads;
  std::size_t pieces;
};

const piece_case piece_cases[] = {
    {"one thread", 1, 10},     {"two threads", 2, 10},
    {"three threads", 3, 100}, {"more threads than pieces", 8, 3},
    {"one piece", 4, 1},       {"no piece", 4, 0},
};

TEST(RunPieces, RunsEveryPieceOnceOnAThreadBelowTheThreadsAskedFor) {
  for (const piece_case& c : piece_cases) {
    std::vector<std::atomic<int>> runs(c.pieces);
    std::atomic<bool> thread_in_range{true};
    run_pieces(c.threads, c.pieces, [&](std::size_t piece, std::size_t thread) {
      ++runs[piece];
      if (thread >= c.threads) thread_in_range = false;
    });
    for (std::size_t p = 0; p < c.pieces; ++p) EXPECT_EQ(runs[p], 1) << c.name << ", piece " << p;
    EXPECT_TRUE(thread_in_range) << c.name;
  }
}

TEST(RunPieces, ThrowsAPiecesExceptionOnTheCallerAndStopsPiecesNotBegun) {
  for (const piece_case& c : piece_cases) {
    if (c.pieces == 0) continue;
    // Every thread has ended when the exception arrives: none touches begun after the call.
    std::atomic<std::size_t> begun{0};
    const auto throw_at_first = [&](std::size_t piece, std::size_t) {
      ++begun;
      if (piece == 0) throw std::runtime_error("piece 0");
    };
    EXPECT_THROW(run_pieces(c.threads, c.pieces, throw_at_first), std::runtime_error) << c.name;
    EXPECT_GE(begun, 1u) << c.name;
  }
}

// The threads beside the caller are kept from one call to the next; work started from within a
// piece, or on another thread while the kept threads are busy, runs on threads of its own.
TEST(RunPieces, KeepsItsThreadsAndRunsNestedAndConcurrentWork) {
  // Each thread that runs a piece for the first time counts itself once; a piece takes long
  // enough for every thread to take some.
  std::atomic<int> threads_seen{0};
  const auto count_thread = [&](std::size_t, std::size_t) {
    thread_local bool seen = false;
    if (!seen) ++threads_seen;
    seen = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  for (int call = 0; call < 10; ++call) run_pieces(3, 12, count_thread);
  EXPECT_LE(threads_seen, 3);
  std::atomic<int> inner{0};
  std::thread other([&] { run_pieces(2, 50, [&](std::size_t, std::size_t) { ++inner; }); });
  run_pieces(3, 10, [&](std::size_t, std::size_t) {
    run_pieces(2, 5, [&](std::size_t, std::size_t) { ++inner; });
  });
  other.join();
  EXPECT_EQ(inner, 100);
}

// What run_pieces_in_order did: the pieces used, in the order of their use, and whether each
// use found its slot holding the piece it made.
struct use_record {
  int status = 0;
  std::vector<std::size_t> used;
  bool slots_hold_their_piece = true;
};

void run_in_order(const piece_case& c, std::size_t fail_use_at, std::size_t throw_make_at,
                  use_record& record) {
  std::vector<std::size_t> slots(c.threads + 2, never);
  std::mutex lock;
  const piece_work make = [&](std::size_t piece, std::size_t slot) {
    if (piece == throw_make_at) throw std::runtime_error("make");
    std::lock_guard<std::mutex> hold(lock);
    slots.at(slot) = piece;
  };
  const auto use = [&](std::size_t piece, std::size_t slot) {
    std::lock_guard<std::mutex> hold(lock);
    record.used.push_back(piece);
    record.slots_hold_their_piece = record.slots_hold_their_piece && slots.at(slot) == piece;
    return piece == fail_use_at ? 7 : 0;
  };
  record.status = run_pieces_in_order(c.threads, c.pieces, make, use);
}

std::vector<std::size_t> first_pieces(std::size_t count) {
  std::vector<std::size_t> pieces(count);
  for (std::size_t p = 0; p < count; ++p) pieces[p] = p;
  return pieces;
}

TEST(RunPiecesInOrder, UsesEveryPieceInOrderFromTheSlotItWasMadeIn) {
  for (const piece_case& c : piece_cases) {
    use_record record;
    run_in_order(c, never, never, record);
    EXPECT_EQ(record.status, 0) << c.name;
    EXPECT_EQ(record.used, first_pieces(c.pieces)) << c.name;
    EXPECT_TRUE(record.slots_hold_their_piece) << c.name;
  }
}

TEST(RunPiecesInOrder, StopsAtTheFirstUseThatFailsAndReturnsItsStatus) {
  for (const piece_case& c : piece_cases) {
    if (c.pieces == 0) continue;
    const std::size_t at = c.pieces / 2;
    use_record record;
    run_in_order(c, at, never, record);
    EXPECT_EQ(record.status, 7) << c.name;
    EXPECT_EQ(record.used, first_pieces(at + 1)) << c.name;
  }
}

TEST(RunPiecesInOrder, ThrowsAMakesExceptionOnTheCallerAfterUsingOnlyPiecesBeforeIt) {
  for (const piece_case& c : piece_cases) {
    if (c.pieces == 0) continue;
    const std::size_t at = c.pieces / 2;
    use_record record;
    EXPECT_THROW(run_in_order(c, never, at, record), std::runtime_error) << c.name;
    const std::vector<std::size_t> before = first_pieces(at);
    EXPECT_LE(record.used.size(), at) << c.name;
    EXPECT_TRUE(std::equal(record.used.begin(), record.used.end(), before.begin())) << c.name;
  }
}

}  // namespace

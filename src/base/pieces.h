// Work cut into pieces and run on several threads, so that what comes out
// does not depend on how many threads there are: a piece writes only what is
// its own, and whatever puts pieces together takes them in piece order.
//
// The threads besides the caller are kept from one call to the next (see
// run_pieces). An exception in a piece (std::bad_alloc, most likely) stops
// the pieces not yet begun and is thrown again on the calling thread, once
// every thread has finished its piece, so that the stage fails as it would on
// one thread.
#ifndef NATJOIN_BASE_PIECES_H_
#define NATJOIN_BASE_PIECES_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace natjoin {

// What a stage is given of the machine, and how it cuts its work: the threads
// it may use, the rows (lines of the input, rows of a table or of a result) of
// one piece, the bytes of memory that the process may take, which the run
// reads from the system once, and the bytes of a processor's own cache that
// one table of a key index may fill: a larger index is cut into partitions
// of about a quarter of that each. give_back, where set, gives a stretch of
// the input that a stage has read, and will not read again soon, back to the
// system: it leaves the memory of the process and comes back at the next
// read, so that a large input does not stay whole in memory beside what is
// made of it.
struct work_split {
  std::size_t threads = 1;
  std::size_t piece_rows = std::size_t{1} << 15;
  std::size_t memory = static_cast<std::size_t>(-1);
  std::size_t cache_bytes = std::size_t{1} << 20;
  std::function<void(std::string_view stretch)> give_back = nullptr;
};

// Gives the input's bytes [begin, end) back through split.give_back, where it is set.
inline void give_back(const work_split& split, const char* begin, const char* end) {
  if (split.give_back && begin < end)
    split.give_back({begin, static_cast<std::size_t>(end - begin)});
}

// What one thread (or one slot) keeps for itself, on a cache line of its own:
// threads that write things of their own that share a cache line slow each
// other down as if they wrote the same thing.
template <typename T>
struct alignas(64) cache_aligned {
  T value;
};

// The threads for work on rows rows that is cut by some other measure than
// pieces of rows (partitions by hash, say): one where the rows make a single
// piece, since a thread costs more than such work and a small input starts
// no thread at all; split.threads otherwise.
inline std::size_t threads_for(std::size_t rows, const work_split& split) {
  return rows > split.piece_rows ? split.threads : 1;
}

// The number of pieces of rows rows, none longer than piece_rows.
// REQUIRES: piece_rows > 0.
inline std::size_t piece_count(std::size_t rows, std::size_t piece_rows) {
  return (rows + piece_rows - 1) / piece_rows;
}

// Cuts items [0, count), item i having the rows [starts[i], starts[i + 1]),
// into runs of whole items of about piece_rows rows: run k is items
// [cuts[k], cuts[k + 1]), and the cuts run from 0 to count.
// REQUIRES: starts holds count + 1 ascending entries; piece_rows > 0.
std::vector<std::size_t> cut_by_rows(const std::uint32_t* starts, std::size_t count,
                                     std::size_t piece_rows);

// The work on one piece: its number, and the number (below the threads
// asked for) of the thread that runs it, for working memory of its own.
// Thread 0 is the calling thread.
using piece_work = std::function<void(std::size_t piece, std::size_t thread)>;

// Runs work on every piece in [0, pieces), each once, on up to threads
// threads, the calling thread among them, and returns when all have run.
// Where the system refuses more threads, fewer do the work. The threads
// besides the caller are kept, waiting, for the next call, to the end of the
// process; a call made while they are busy (from within a piece, or from
// another thread) starts threads of its own.
void run_pieces(std::size_t threads, std::size_t pieces, const piece_work& work);

// Makes the pieces in [0, pieces) on up to threads threads, the calling
// thread among them, and uses them on the calling thread in piece order:
// make(piece, slot), then use(piece, slot). At most threads + 2 pieces are made and not yet used,
// so slot, below threads + 2, names the buffer that a piece is made in until it has been used.
// The threads are those of run_pieces.
// Returns 0, or the first status other than 0 that use returns, after which no piece is used or
// begun.
int run_pieces_in_order(std::size_t threads, std::size_t pieces, const piece_work& make,
                        const std::function<int(std::size_t piece, std::size_t slot)>& use);

}  // namespace natjoin

#endif  // NATJOIN_BASE_PIECES_H_

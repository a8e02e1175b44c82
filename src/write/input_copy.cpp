// The copy of the input, in pieces on several threads, and on a thread of its own where a run
// has one to spare.
#include "write/input_copy.h"

#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "base/text_buffer.h"

namespace natjoin {

namespace {

// The copy of the input is cut into pieces of about piece_rows times this
// many bytes.
constexpr std::size_t bytes_per_row = 32;

// Appends lines, whose line ends are a bare "\n", each with line_end instead.
void append_lines(std::string_view lines, std::string_view line_end, text_buffer& out) {
  if (line_end == "\n") return append_bytes(out, lines);
  for (std::size_t end; (end = lines.find('\n')) != std::string_view::npos;) {
    append_bytes(out, lines.substr(0, end));
    append_bytes(out, line_end);
    lines.remove_prefix(end + 1);
  }
  append_bytes(out, lines);
}

// Appends a piece of the input with every line end made line_end. A line
// ends at "\n", and a "\r" right before it belongs to the line end.
void append_copy(std::string_view piece, std::string_view line_end, text_buffer& out) {
  for (std::size_t at = 0;;) {
    const std::size_t cr = piece.find("\r\n", at);
    append_lines(piece.substr(at, (cr == std::string_view::npos ? piece.size() : cr) - at),
                 line_end, out);
    if (cr == std::string_view::npos) return;
    append_bytes(out, line_end);
    at = cr + 2;
  }
}

// Where the pieces of the copy of input end: each about piece_bytes long, up
// to the end of its last line; a line longer than that is cut, but never
// inside a "\r\n".
std::vector<std::size_t> copy_ends(std::string_view input, std::size_t piece_bytes) {
  std::vector<std::size_t> ends;
  for (std::size_t at = 0; at < input.size();) {
    const std::size_t take = std::min(input.size() - at, piece_bytes);
    const std::size_t last = input.rfind('\n', at + take - 1);
    if (last != std::string_view::npos && last >= at) {
      at = last + 1;
    } else {
      at += take < input.size() - at && input[at + take - 1] == '\r' ? take - 1 : take;
    }
    ends.push_back(at);
  }
  return ends;
}

// Writes the copy of the input, every line with line_end but the last, which
// write_input_copy ends. A piece whose line ends are already line_end is
// handed on as it is.
int write_copy(std::string_view input, std::string_view line_end, const output_sink& sink,
               const work_split& split) {
  const std::size_t piece_bytes = split.piece_rows * bytes_per_row;
  const std::vector<std::size_t> ends = copy_ends(input, piece_bytes);
  // An input of one piece's bytes is written on the calling thread alone, also where its last
  // line, without a line end, is a piece of its own.
  const std::size_t threads = input.size() > piece_bytes ? split.threads : 1;
  std::vector<cache_aligned<text_buffer>> buffers(threads + 2);
  std::vector<cache_aligned<std::string_view>> made(buffers.size());
  const piece_work make = [&](std::size_t piece, std::size_t slot) {
    const std::size_t begin = piece == 0 ? 0 : ends[piece - 1];
    const std::string_view lines = input.substr(begin, ends[piece] - begin);
    made[slot].value = lines;
    if (line_end == "\n" && lines.find("\r\n") == std::string_view::npos) return;
    text_buffer& out = buffers[slot].value;
    out.used = 0;
    append_copy(lines, line_end, out);
    made[slot].value = text_of(out);
  };
  const auto use = [&](std::size_t piece, std::size_t slot) {
    if (sink(made[slot].value) != status_ok) return status_failed;
    give_back(split, input.data() + (piece == 0 ? 0 : ends[piece - 1]), input.data() + ends[piece]);
    return status_ok;
  };
  return run_pieces_in_order(threads, ends.size(), make, use);
}

}  // namespace

int write_input_copy(std::string_view input, const output_sink& sink, std::string_view line_end,
                     const work_split& split) {
  if (write_copy(input, line_end, sink, split) != status_ok) return status_failed;
  const std::string ends = std::string(line_end) + std::string(line_end);
  return sink(ends);
}

namespace {

// Writes the head through sink for start_input_copy, on whichever thread, and tells how it ended.
void write_head(input_copy_thread& copy, std::string_view input, const output_sink& sink,
                std::string_view line_end, const work_split& split) {
  try {
    copy.status = write_input_copy(input, sink, line_end, split);
  } catch (const std::bad_alloc&) {
    copy.status = status_failed;
  }
  copy.copied = static_cast<std::size_t>(-1);
}

}  // namespace

void start_input_copy(std::string_view input, const output_sink& sink, std::string_view line_end,
                      const work_split& split, input_copy_thread& copy) {
  if (input.size() < copy_apart_bytes) return;
  // The head is written alone, and tells how far it has got as it gives back.
  work_split own;
  if (split.give_back) {
    own.give_back = [&copy, input, hook = split.give_back](std::string_view stretch) {
      copy.copied = static_cast<std::size_t>(stretch.data() + stretch.size() - input.data());
      hook(stretch);
    };
  }
  copy.copied = 0;
  try {
    if (split.threads >= 2) {
      copy.thread = std::jthread([&copy, &sink, input, line_end, own](std::stop_token stop) {
        const output_sink stoppable = [&](std::string_view stretch) {
          return stop.stop_requested() ? status_failed : sink(stretch);
        };
        write_head(copy, input, stoppable, line_end, own);
      });
    }
  } catch (const std::system_error&) {
    // No thread to be had: the head is written here.
  } catch (const std::bad_alloc&) {
    // Nor the memory for one: likewise.
  }
  if (copy.thread.joinable()) return;
  // Written now rather than by the writer: the input is then read once more while nothing but
  // its tables is in memory beside it, not after the join, beside the result (at 10 million
  // rows a table on one core, 634 MiB at the peak instead of 754).
  write_head(copy, input, sink, line_end, own);
  copy.written_here = true;
}

int end_input_copy(input_copy_thread& copy, bool stop) {
  if (!copy.thread.joinable()) return copy.status;
  if (stop) copy.thread.request_stop();
  copy.thread.join();
  return copy.status;
}

}  // namespace natjoin

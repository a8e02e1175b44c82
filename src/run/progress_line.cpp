// The progress line, drawn through the terminal of standard error.
#include "run/progress_line.h"

#include <chrono>
#include <string_view>

#include "platform/interruptions.h"
#include "platform/terminal.h"

namespace natjoin {

namespace {

double seconds_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

void erase_progress() {
  if (progress_shown() == 0) return;
  write_to_terminal(format_erase(progress_shown()));
  note_progress_shown(0);
}

std::string grouped(std::size_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

progress_report progress_line() {
  const double start = seconds_now();
  double drawn = 0;
  return [start, drawn](std::string_view stage, std::size_t done, std::size_t total,
                        std::string_view unit) mutable {
    const double now = seconds_now();
    if (now - start < 1 || now - drawn < 0.25) return;
    drawn = now;
    std::string line = "natjoin: ";
    line.append(stage);
    line += ": ";
    if (total != 0) {
      line += std::to_string(done * 100 / total);
      line += "% of ";
      line += grouped(total);
    } else {
      line += grouped(done);
    }
    line += ' ';
    line.append(unit);
    write_to_terminal(format_redraw(line, progress_shown()));
    note_progress_shown(line.size());
  };
}

}  // namespace natjoin

#include "join/row_set.h"

#include <cstring>

namespace natjoin {

std::size_t row_slot_count(std::size_t rows) {
  std::size_t size = 16;
  while (size < rows + rows / 2) size *= 2;
  return size;
}

void reset_row_slots(row_slots& slots, std::size_t rows) {
  slots.assign(row_slot_count(rows), 0);
}

row_slots make_row_slots(std::size_t rows) {
  return row_slots(row_slot_count(rows), 0);
}

}  // namespace natjoin

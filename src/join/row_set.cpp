#include "join/row_set.h"

#include <cstring>

namespace natjoin {

void reset_row_slots(row_slots& slots, std::size_t rows) {
  std::size_t size = 16;
  while (size < rows + rows / 2) size *= 2;
  slots.assign(size, 0);
}

row_slots make_row_slots(std::size_t rows) {
  row_slots slots;
  reset_row_slots(slots, rows);
  return slots;
}

}  // namespace natjoin

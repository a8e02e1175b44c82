#include "join/row_set.h"

#include <cstring>

namespace natjoin {

row_slots make_row_slots(std::size_t rows) {
  std::size_t size = 16;
  while (size < rows + rows / 2) size *= 2;
  return row_slots(size, 0);
}

}  // namespace natjoin

// natjoin: how a column type code reads. An int column has the code -1; a char(N) column the
// width N, which the table reader gives as 0 or below where the width was written without
// leading digits or with a minus sign. The rows and the header read the code differently at 0
// and below: a value is quoted only under a code above 0, while the header writes "int" only for
// a code below 0, so that a column of code 0 is declared char(0) and has bare values.
#ifndef NATJOIN_BASE_TYPE_CODES_H_
#define NATJOIN_BASE_TYPE_CODES_H_

#include <string>

namespace natjoin {

// The code of an int column.
inline constexpr int int_code = -1;

// Whether the values of a column of code stand between quotes, in the input and in the output.
inline bool has_quoted_values(int code) {
  return code > 0;
}

// The type of a column of code as a declaration spells it: "int", or "char(N)".
inline std::string type_name(int code) {
  return code < 0 ? "int" : "char(" + std::to_string(code) + ")";
}

}  // namespace natjoin

#endif  // NATJOIN_BASE_TYPE_CODES_H_

// What the end-to-end tests share on every platform: files, the case folders, and the inputs
// they make.
#ifndef NATJOIN_E2E_SUPPORT_H_
#define NATJOIN_E2E_SUPPORT_H_

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

// The bytes of the file at path; an absent file reads as empty.
inline std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::error_code error;
  const std::uintmax_t size = fs::file_size(path, error);
  if (error) return {};
  std::string text(size, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

inline void write_file(const fs::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary)
      .write(text.data(), static_cast<std::streamsize>(text.size()));
}

// The names of the case folders under NATJOIN_CASES, in order.
inline std::vector<std::string> case_names() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(NATJOIN_CASES)) {
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// What a case folder expects of a run. An absent expectation means empty standard output,
// status 0 and an empty output file.
struct case_expectations {
  std::string out;     // stdout.txt
  unsigned status;     // status
  std::string output;  // output.txt
};

inline case_expectations expectations_of(const fs::path& folder) {
  const std::string status = read_file(folder / "status");
  return {read_file(folder / "stdout.txt"), status.empty() ? 0u : unsigned(std::stoul(status)),
          read_file(folder / "output.txt")};
}

inline constexpr std::string_view small_input =
    "join(A, B)\nA(x int)\n1\n2\n\nB(x int, y char(1))\n2,'b'\n";
inline constexpr std::string_view small_output =
    "join(A, B)\nA(x int)\n1\n2\n\nB(x int, y char(1))\n2,'b'\n\n\nresult(x int, y "
    "char(1))\n2,'b'\n";
inline constexpr std::string_view files_message = "Nem sikerult megnyitni a file(oka)t!\n";

// The join of two tables of rows rows each that share no column, so their Cartesian product:
// rows * rows result rows of 22 bytes. Returns the input file; output, where given, receives the
// output file that the join must write.
inline std::string product_input(int rows, std::string* output = nullptr) {
  std::vector<std::string> a, b;  // the values as written, quotes included
  for (int i = 0; i < rows; ++i) {
    const std::string number = std::to_string(10000000 + i).substr(1);
    a.push_back("'a" + number + "'");
    b.push_back("'b" + number + "'");
  }
  std::string input = "join(A, B)\nA(a char(8))\n";
  for (const std::string& value : a) input += value + "\n";
  input += "\nB(b char(8))\n";
  for (const std::string& value : b) input += value + "\n";
  if (output != nullptr) {
    *output = input + "\n\nresult(a char(8), b char(8))\n";
    output->reserve(output->size() + std::size_t(rows) * rows * 22);
    for (const std::string& right : b) {
      for (const std::string& left : a) *output += left + "," + right + "\n";
    }
  }
  return input;
}

#endif  // NATJOIN_E2E_SUPPORT_H_

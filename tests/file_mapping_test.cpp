// A mapped input file that another program changes while it is mapped: every byte of the mapping
// stays readable, and the change is told, whatever it was. Pages given back come back as they
// were.
#include "platform/file_mapping.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace natjoin {
namespace {

TEST(FileMapping, ReadsEveryPageAndTellsAChange) {
  const std::string text(3 * 65536 + 100, 'x');
  const struct {
    const char* name;
    std::function<void(int fd)> change;
    std::size_t kept;
    bool changed;
  } cases[] = {
      {"unchanged", [](int) {}, text.size(), false},
      {"cut to a page and a half", [](int fd) { ASSERT_EQ(ftruncate(fd, 6144), 0); }, 6144, true},
      {"cut to nothing", [](int fd) { ASSERT_EQ(ftruncate(fd, 0), 0); }, 0, true},
      {"a byte written over, same size", [](int fd) { ASSERT_EQ(pwrite(fd, "y", 1, 70000), 1); },
       text.size() - 1, true},
      {"grown", [](int fd) { ASSERT_EQ(pwrite(fd, "z", 1, 3 * 65536 + 100), 1); }, text.size(),
       true},
  };
  for (const auto& c : cases) {
    char path[] = "/tmp/natjoin-mapping-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    // The file times of a file system may be coarse: a change must still be seen.
    timespec times[2] = {{1, 0}, {1, 0}};
    ASSERT_EQ(futimens(fd, times), 0);
    mapped_file file;
    ASSERT_TRUE(map_file(fd, file)) << c.name;
    EXPECT_EQ(file.size, text.size()) << c.name;
    c.change(fd);
    // Every byte is read; those the file still holds read as they were.
    std::size_t same = 0;
    for (std::size_t i = 0; i < file.size; ++i) same += file.bytes[i] == 'x' ? 1 : 0;
    EXPECT_GE(same, c.kept) << c.name;
    EXPECT_EQ(mapped_file_changed(fd, file), c.changed) << c.name;
    unmap_file(file);
    EXPECT_EQ(file.bytes, nullptr);
    close(fd);
    unlink(path);
  }
}

// The pages of the process in memory, from Linux's /proc; 0 elsewhere.
std::size_t resident_pages() {
  std::size_t size = 0, resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  if (std::fscanf(statm, "%zu %zu", &size, &resident) != 2) resident = 0;
  std::fclose(statm);
  return resident;
}

TEST(FileMapping, GivesBackPagesThatComeBackAsTheyWere) {
  std::string text(std::size_t{32} << 20, ' ');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 23);
  char path[] = "/tmp/natjoin-mapping-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  mapped_file file;
  ASSERT_TRUE(map_file(fd, file));
  const auto same_bytes = [&] { return std::string_view(file.bytes, file.size) == text; };
  ASSERT_TRUE(same_bytes());
  const std::size_t before = resident_pages();
  // Stretches that start and end inside a page, then the rest of the file.
  give_back_pages(file, 100, 5000);
  give_back_pages(file, 5000, file.size / 2 + 1);
  give_back_pages(file, file.size / 2, file.size);
  const std::size_t after = resident_pages();
  if (before != 0) {
    const std::size_t file_pages = file.size / static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    EXPECT_GE(before - after, file_pages * 3 / 4) << before << " pages before, " << after;
  }
  EXPECT_TRUE(same_bytes());
  EXPECT_FALSE(mapped_file_changed(fd, file));
  unmap_file(file);
  close(fd);
  unlink(path);
}

TEST(FileMapping, MapsNoEmptyFileAndNoPipe) {
  char path[] = "/tmp/natjoin-mapping-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  mapped_file file;
  EXPECT_FALSE(map_file(fd, file));
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  EXPECT_FALSE(map_file(ends[0], file));
  EXPECT_EQ(file.bytes, nullptr);
  close(ends[0]);
  close(ends[1]);
  close(fd);
  unlink(path);
}

}  // namespace
}  // namespace natjoin

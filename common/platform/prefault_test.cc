#include "common/platform/prefault.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace zentrik {
namespace {

constexpr size_t kPages = 10;

size_t PageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

// A fresh private mapping of kPages pages, none of them touched yet.
class FreshPages {
 public:
  FreshPages()
      : data_(static_cast<char*>(mmap(nullptr, kPages * PageSize(), PROT_READ | PROT_WRITE,
                                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0))) {}
  ~FreshPages() {
    if (data_ != MAP_FAILED) munmap(data_, kPages * PageSize());
  }
  FreshPages(const FreshPages&) = delete;
  FreshPages& operator=(const FreshPages&) = delete;

  bool ok() const { return data_ != MAP_FAILED; }
  char* data() const { return data_; }

  // The pages the kernel holds in memory now.
  std::vector<size_t> Resident() const {
    std::vector<unsigned char> in_core(kPages);
    std::vector<size_t> resident;
    if (mincore(data_, kPages * PageSize(), in_core.data()) != 0) return {~size_t{0}};
    for (size_t page = 0; page < kPages; ++page) {
      if (in_core[page] & 1) resident.push_back(page);
    }
    return resident;
  }

 private:
  char* data_;
};

// Only the whole pages inside the range are faulted in: a partial page at
// either end may belong to someone else's mapping.
TEST(PrefaultTest, FaultsInTheWholePagesInsideTheRange) {
  const size_t page = PageSize();
  struct Row {
    const char* name;
    size_t offset;
    size_t size;
    std::vector<size_t> resident;
  };
  const Row rows[] = {
      {"whole mapping", 0, kPages * page, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {"one aligned page", page, page, {1}},
      {"unaligned both ends", 100, 3 * page, {1, 2}},
      {"aligned start, ragged end", 2 * page, 2 * page + 1, {2, 3}},
      {"ragged start, aligned end", 2 * page + 1, 2 * page - 1, {3}},
      {"less than a page", 10, 100, {}},
      {"across one boundary only", page - 8, 16, {}},
      {"empty", 0, 0, {}},
  };
  for (const Row& row : rows) {
    FreshPages pages;
    ASSERT_TRUE(pages.ok());
    ASSERT_TRUE(pages.Resident().empty()) << row.name;
    if (!PrefaultForWrite(pages.data() + row.offset, row.size)) {
      GTEST_SKIP() << "this kernel does not fault pages in on request";
    }
    EXPECT_EQ(pages.Resident(), row.resident) << row.name;
  }
}

// Pages already written keep their bytes; fresh ones still read as zeros.
TEST(PrefaultTest, KeepsContents) {
  const size_t page = PageSize();
  FreshPages pages;
  ASSERT_TRUE(pages.ok());
  for (size_t i = 0; i < kPages / 2 * page; ++i) pages.data()[i] = static_cast<char>(i % 251 + 1);
  PrefaultForWrite(pages.data(), kPages * page);
  for (size_t i = 0; i < kPages * page; ++i) {
    const char expected = i < kPages / 2 * page ? static_cast<char>(i % 251 + 1) : 0;
    ASSERT_EQ(pages.data()[i], expected) << "byte " << i;
  }
}

}  // namespace
}  // namespace zentrik

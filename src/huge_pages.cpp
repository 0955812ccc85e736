#include "huge_pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cstdint>

namespace tallowmere_dat::detail {

void advise_huge_pages(void* data, std::size_t size) {
  constexpr std::size_t kHugePage = 2U << 20U;
  if (size < kHugePage) return;
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto start = std::bit_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (start + page - 1) / page * page;
  const std::uintptr_t end = (start + size) / page * page;
  if (end > begin) (void)::madvise(std::bit_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace tallowmere_dat::detail

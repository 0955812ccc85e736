#pragma once

// Huge pages for fresh result buffers: on these machines a page fault per 4 KiB page costs several
// times the copy into it, so a large result filled into fresh memory runs at a fraction of the
// speed of one filled into reused memory.

#include <cstddef>

namespace tallowmere_dat::detail {

/// Asks the kernel to back the whole pages of the buffer at `data` (`size` bytes, not written
/// yet) with 2 MiB pages where it can, so that filling it faults once per 2 MiB. Only advice: a
/// buffer under 2 MiB, or a kernel that declines, is left as it is.
void advise_huge_pages(void* data, std::size_t size);

}  // namespace tallowmere_dat::detail

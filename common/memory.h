// Giving freed memory back to the system between the phases of a run.
#pragma once

namespace palvara {

// Returns the memory freed so far to the system. Allocators keep freed pages for the thread
// that freed them; when one phase of a run ends (the analysis, with its reading thread and the
// items it read) and the next begins on other threads, those pages would only add to the peak.
// Works with mimalloc when the program is linked with it, else with the C library's allocator.
void ReleaseFreedMemory();

}  // namespace palvara

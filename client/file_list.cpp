#include "client/file_list.h"

void release_file_list(std::list<_path_buffer*>& list) {
  // Each node is unlinked right after its entry is freed, so the allocator
  // gets back the entry, its text and its node side by side and can merge
  // them. Freeing every entry first and the nodes after leaves the heap full
  // of small holes between nodes, and the next listing's allocations then
  // run several times slower.
  while (!list.empty()) {
    delete list.front();  // deleting null does nothing
    list.pop_front();
  }
}

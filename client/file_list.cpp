#include "client/file_list.h"

void release_file_list(std::list<_path_buffer*>& list) {
  // Each node is unlinked right after its entry is freed, so the entry, its
  // text and its node go back to the allocator together. Freeing every entry
  // first and the nodes after left glibc's heap in a state that made the next
  // big listing two to four times slower, and slower with each round.
  while (!list.empty()) {
    delete list.front();  // deleting null does nothing
    list.pop_front();
  }
}

// Gives the heap's free pages back to the system. A large tree's backup
// frees hundreds of thousands of small blocks at once (a listing, the
// walk's entries) between blocks it still holds; the allocator keeps such
// pages, and they would count beside what the backup takes next.
#ifndef BREVANTO_CLI_FREE_MEMORY_H_
#define BREVANTO_CLI_FREE_MEMORY_H_

// Cheap next to what freed the blocks (a few milliseconds for a heap of
// tens of megabytes); does nothing where the C library cannot.
void give_back_free_memory();

#endif  // BREVANTO_CLI_FREE_MEMORY_H_

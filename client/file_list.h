// Releasing the host's file list: the entries getfilelist appended to it.
#ifndef BREVANTO_CLIENT_FILE_LIST_H_
#define BREVANTO_CLIENT_FILE_LIST_H_

#include <list>

#include "client/Brevanto.h"

// Destroys and frees every entry, in list order, skipping null elements,
// and leaves the list empty.
void release_file_list(std::list<_path_buffer*>& list);

#endif  // BREVANTO_CLIENT_FILE_LIST_H_

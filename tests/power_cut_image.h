// A power cut, simulated: what a storage root would hold after one, made
// from what was synced. Every fsync()/fdatasync() of a file records the
// file's bytes, and of a folder its entries, in a shadow folder
// (power_cut_shim.cpp does so inside the service); rebuild() then makes a
// copy of the root from the last synced state of each folder and file:
// a file whose entry was never synced is gone, a file whose bytes were
// never synced is empty. That is the pessimistic reading of what a file
// system promises, so whatever survives it survives a real power cut.
#ifndef BREVANTO_TESTS_POWER_CUT_IMAGE_H_
#define BREVANTO_TESTS_POWER_CUT_IMAGE_H_

#include <string>

// Records what `fd` (a file or a folder) holds now as synced.
void record_synced(const std::string& shadow, int fd);
// Records a whole tree as synced, e.g. before the service starts, and
// notes `root` as the top to rebuild from.
void record_tree(const std::string& shadow, const std::string& root);
// Makes `out` (which must not exist) hold the synced state of the root.
bool rebuild(const std::string& shadow, const std::string& out);

#endif  // BREVANTO_TESTS_POWER_CUT_IMAGE_H_

// The host's file list entries made from the elements of listing messages.
#ifndef BREVANTO_PROTOCOL_LISTING_ENTRIES_H_
#define BREVANTO_PROTOCOL_LISTING_ENTRIES_H_

#include <list>
#include <memory>
#include <string>

#include "client/Brevanto.h"
#include "xml/reply_document.h"

// Makes the entries of one listing, message after message. The entries of
// one directory share their ParentDir, so the last one's wide form is kept
// and reused.
class CListingEntries {
 public:
  // Appends to `list` an entry for every element of `message` after its
  // first (the message's own tag) that has a ParentDir and a Name.
  void append(const _reply_document& message, std::list<_path_buffer*>& list);

  // The entry an element describes, or null when it lacks ParentDir or
  // Name. Where an attribute repeats, its last value counts.
  std::unique_ptr<_path_buffer> make(const _reply_element& element);

 private:
  std::string dir_;        // the last ParentDir converted
  std::wstring wide_dir_;  // its wide form
};

#endif  // BREVANTO_PROTOCOL_LISTING_ENTRIES_H_

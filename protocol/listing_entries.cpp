#include "protocol/listing_entries.h"

#include "util/ascii.h"
#include "util/text.h"

void CListingEntries::append(const _reply_document& message, std::list<_path_buffer*>& list) {
  for (std::size_t i = 1; i < message.elements.size(); ++i) {
    std::unique_ptr<_path_buffer> entry = make(message.elements[i]);
    if (entry) {
      list.push_back(entry.get());
      entry.release();
    }
  }
}

std::unique_ptr<_path_buffer> CListingEntries::make(const _reply_element& element) {
  const _reply_attribute* parent = nullptr;
  const _reply_attribute* name = nullptr;
  for (const _reply_attribute& attribute : element.attributes) {
    if (ascii_iequals(attribute.name, "ParentDir")) {
      parent = &attribute;
    } else if (ascii_iequals(attribute.name, "Name")) {
      name = &attribute;
    }
  }
  if (parent == nullptr || name == nullptr) return nullptr;
  auto entry = std::make_unique<_path_buffer>();
  entry->is_dir = ascii_iequals(element.name, "dir") ? 1 : 0;
  // The name follows the parent directly; no separator is put between them.
  // The two are converted one after the other, which gives the same text as
  // converting them joined unless a character straddles the seam; then the
  // joined bytes are converted.
  const std::string& dir = parent->value;
  if (!dir.empty() && static_cast<unsigned char>(dir.back()) >= 0x80) {
    entry->full_path = utf8_to_wide(dir + name->value);
    return entry;
  }
  if (dir != dir_) {
    dir_ = dir;
    wide_dir_.clear();
    append_utf8_as_wide(wide_dir_, dir);
  }
  entry->full_path.reserve(wide_dir_.size() + name->value.size());
  entry->full_path = wide_dir_;
  append_utf8_as_wide(entry->full_path, name->value);
  return entry;
}

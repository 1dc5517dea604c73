#include "protocol/message_framer.h"

#include <cstring>

#include "util/ascii.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The bytes that separate attributes for the reply parser: a name stored
// after one of these (or after a value's closing quote) is a fresh name.
bool separates_attributes(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '"'; }

// Bytes that matter outside quotes between and inside tags; everything else
// is skipped in runs.
struct SpecialBytes {
  bool special[256];
  constexpr SpecialBytes() : special() {
    special[static_cast<unsigned char>('"')] = true;
    special[static_cast<unsigned char>('<')] = true;
    special[static_cast<unsigned char>('>')] = true;
  }
};
constexpr SpecialBytes kSpecial;

// Bytes that end a tag's name.
struct NameEnd {
  bool special[256];
  constexpr NameEnd() : special() {
    for (char c : {' ', '\t', '\n', '\r', '/', '>', '"', '<'}) {
      special[static_cast<unsigned char>(c)] = true;
    }
  }
};
constexpr NameEnd kNameEnd;

// A cheap first look before the '"' or '>' at `end`: only a name ending in
// "t" (possibly followed by '=' or blanks) can be Result; a value's closing
// quote, or "/" after it, never is.
inline bool may_end_result(const char* data, std::size_t end) {
  char c = data[end - 1];
  if (c == '=' || c == '/') c = data[end - 2];
  return (c | 0x20) == 't' || is_blank(c) || c == '=';
}

}  // namespace

void CMessageFramer::append(const char* data, std::size_t size) {
  release_message();
  if (start_ > 0) {
    buffer_.erase(0, start_);
    scan_ -= start_;
    // Every offset of the scanner lies within the pending message.
    tag_start_ -= start_;
    name_start_ -= start_;
    comment_body_ -= start_;
    start_ = 0;
  }
  buffer_.append(data, size);
}

CMessageFramer::Status CMessageFramer::next(Transport transport) {
  release_message();
  if (const std::size_t cut = scan()) {
    take(cut);
    return kMessage;
  }
  if (pending() > kMaxMessageBytes) {
    reset();
    return kTooLarge;
  }
  const bool ends = transport == kWaitedInVain ? pending() > 0
                    : transport == kNothingWaiting ? pending() > 0 && closed_at_end()
                                                   : false;
  if (!ends) return kNeedMore;
  take(buffer_.size());
  return kMessage;
}

void CMessageFramer::reset() {
  buffer_.clear();
  start_ = scan_ = 0;
  terminated_ = false;
  message_ = nullptr;
  message_size_ = 0;
  restart_scan();
}

void CMessageFramer::take(std::size_t end) {
  message_ = buffer_.data() + start_;
  message_size_ = end - start_;
  message_end_ = end;
  if (end < buffer_.size()) {
    saved_byte_ = buffer_[end];
    buffer_[end] = '\0';
    terminated_ = true;
  }
  start_ = end;
  scan_ = end;
  restart_scan();
}

void CMessageFramer::release_message() {
  if (terminated_) {
    buffer_[message_end_] = saved_byte_;
    terminated_ = false;
  }
  message_ = nullptr;
  message_size_ = 0;
}

void CMessageFramer::restart_scan() {
  phase_ = kPrefix;
  quoted_ = false;
  has_head_ = head_closed_ = in_head_ = candidate_ = false;
  tag_start_ = name_start_ = comment_body_ = scan_;
  dashes_ = 0;
  head_name_.clear();
  end_name_.clear();
  end_name_done_ = end_tag_other_ = false;
}

inline bool CMessageFramer::name_ended() {
  const std::size_t length = scan_ - name_start_;
  // Most tags are entries of a reply: names of other lengths than RPT and
  // ACK are settled at once.
  if (has_head_ && heads_ == kReplyHeads && length != 3) {
    in_head_ = false;
    candidate_ = true;
    return false;
  }
  if (!has_head_) {
    has_head_ = true;
    in_head_ = true;
    candidate_ = false;
    head_name_.assign(buffer_, name_start_, length);
    for (char& c : head_name_) c = ascii_lower(c);
    return false;
  }
  in_head_ = false;
  if (heads_ == kRequestHeads) return head_closed_;
  const char* name = buffer_.data() + name_start_;
  if (length == 3 && (ascii_iequals(std::string_view(name, 3), "rpt") ||
                      ascii_iequals(std::string_view(name, 3), "ack"))) {
    return true;
  }
  candidate_ = true;  // a Result attribute may still make it one
  return false;
}

bool CMessageFramer::result_attribute_before(std::size_t end) const {
  const char* data = buffer_.data();
  std::size_t j = end;
  while (j > name_start_ && is_blank(data[j - 1])) --j;
  if (j > name_start_ && data[j - 1] == '=') --j;
  while (j > name_start_ && is_blank(data[j - 1])) --j;
  if (j < name_start_ + 7 || (data[j - 1] | 0x20) != 't') return false;  // the name comes first
  return separates_attributes(data[j - 7]) &&
         ascii_iequals(std::string_view(data + j - 6, 6), "result");
}

void CMessageFramer::tag_ended() {
  if (in_head_) {
    head_closed_ = scan_ > tag_start_ + 1 && buffer_[scan_ - 1] == '/';
    in_head_ = false;
  }
  candidate_ = false;
  phase_ = kText;
}

std::size_t CMessageFramer::scan() {
  const std::size_t size = buffer_.size();
  const char* const data = buffer_.data();
  for (; scan_ < size; ++scan_) {
    // The bulk of a message lies inside quoted values and between tags:
    // skip what cannot change the state in runs.
    if (quoted_ && phase_ != kComment) {
      const void* quote = std::memchr(data + scan_, '"', size - scan_);
      if (quote == nullptr) {
        scan_ = size;
        break;
      }
      scan_ = static_cast<std::size_t>(static_cast<const char*>(quote) - data);
    } else if (phase_ == kText || phase_ == kTag || phase_ == kEndTag || phase_ == kOther) {
      while (scan_ < size && !kSpecial.special[static_cast<unsigned char>(data[scan_])]) ++scan_;
      if (scan_ == size) break;
    } else if (phase_ == kName) {
      while (scan_ < size && !kNameEnd.special[static_cast<unsigned char>(data[scan_])]) ++scan_;
      if (scan_ == size) break;
    } else if (phase_ == kPrefix) {
      const void* lt = std::memchr(data + scan_, '<', size - scan_);
      if (lt == nullptr) {
        scan_ = size;
        break;
      }
      scan_ = static_cast<std::size_t>(static_cast<const char*>(lt) - data);
    } else if (phase_ == kComment) {
      const void* gt = std::memchr(data + scan_, '>', size - scan_);
      if (gt == nullptr) {
        scan_ = size;
        break;
      }
      scan_ = static_cast<std::size_t>(static_cast<const char*>(gt) - data);
      if (scan_ >= comment_body_ + 2 && data[scan_ - 1] == '-' && data[scan_ - 2] == '-') {
        phase_ = kText;
      }
      continue;
    }
    const char c = data[scan_];
    if (c == '"') {
      if (quoted_) {
        quoted_ = false;
        continue;
      }
      // An opening quote: the name before it may be Result.
      if (phase_ == kName) {
        if (name_ended()) return tag_start_;
        phase_ = kTag;
      } else if (phase_ == kEndTagName || phase_ == kEndTag) {
        end_tag_other_ = true;
        phase_ = kEndTag;
      } else if (phase_ == kTagOpen || phase_ == kBang) {
        phase_ = kOther;
      }
      if (candidate_ && may_end_result(data, scan_) && result_attribute_before(scan_)) {
        return tag_start_;
      }
      quoted_ = true;
      continue;
    }
    if (c == '<') {
      // A '<' outside quotes opens a tag, also one left unfinished.
      if (phase_ == kName && name_ended()) return tag_start_;
      in_head_ = candidate_ = false;
      phase_ = kTagOpen;
      tag_start_ = scan_;
      continue;
    }
    switch (phase_) {
      case kText:
        break;  // only a '>' reaches here: stray text
      case kTagOpen:
        if (c == '/') {
          phase_ = kEndTagName;
          end_name_.clear();
          end_name_done_ = end_tag_other_ = false;
        } else if (c == '!') {
          phase_ = kBang;
          dashes_ = 0;
        } else if (c == '?') {
          // A declaration starts a document: after a head, the next message.
          if (has_head_) return tag_start_;
          phase_ = kOther;
        } else if (has_head_ && heads_ == kReplyHeads && scan_ + 3 < size &&
                   !kNameEnd.special[static_cast<unsigned char>(c)] &&
                   !kNameEnd.special[static_cast<unsigned char>(data[scan_ + 1])] &&
                   !kNameEnd.special[static_cast<unsigned char>(data[scan_ + 2])] &&
                   !kNameEnd.special[static_cast<unsigned char>(data[scan_ + 3])]) {
          // An entry's name of four bytes or more is no RPT or ACK: the tag
          // is read as a candidate without reading its name byte by byte.
          name_start_ = scan_;
          in_head_ = false;
          candidate_ = true;
          phase_ = kTag;
        } else {
          name_start_ = scan_;
          phase_ = kName;
          if (c == '>' || c == '/' || is_blank(c)) {
            if (name_ended()) return tag_start_;
            phase_ = kTag;
            if (c == '>') tag_ended();
          }
        }
        break;
      case kName:
        if (c == '>' || c == '/' || is_blank(c)) {
          if (name_ended()) return tag_start_;
          phase_ = kTag;
          if (c == '>') tag_ended();
        }
        break;
      case kTag:
        if (c == '>') {
          if (candidate_ && may_end_result(data, scan_) && result_attribute_before(scan_)) {
            return tag_start_;
          }
          tag_ended();
        }
        break;
      case kEndTagName:
      case kEndTag:
        if (c == '>') {
          if (has_head_ && !end_tag_other_ && end_name_ == head_name_) head_closed_ = true;
          phase_ = kText;
        } else if (phase_ == kEndTag) {
          if (!is_blank(c)) end_tag_other_ = true;
        } else if (is_blank(c)) {
          end_name_done_ = !end_name_.empty();
          if (end_name_done_) phase_ = kEndTag;
        } else if (c != '/') {
          end_name_.push_back(ascii_lower(c));
        }
        break;
      case kBang:
        if (c == '-' && ++dashes_ == 2) {
          phase_ = kComment;
          comment_body_ = scan_ + 1;
        } else if (c == '>') {
          phase_ = kText;
        } else if (c != '-') {
          phase_ = kOther;
        }
        break;
      case kOther:
        if (c == '>') phase_ = kText;
        break;
      case kPrefix:
      case kComment:
        break;
    }
  }
  return 0;
}

#include "protocol/message_framer.h"

#include <cstring>
#include <string_view>

#include "util/ascii.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Bytes that matter inside a tag outside quotes; everything else is skipped
// in runs.
struct TagSpecial {
  bool special[256];
  constexpr TagSpecial() : special() {
    special[static_cast<unsigned char>('"')] = true;
    special[static_cast<unsigned char>('<')] = true;
    special[static_cast<unsigned char>('>')] = true;
  }
};
constexpr TagSpecial kTagSpecial;

bool ends_name(char c) { return is_blank(c) || c == '/' || c == '>' || c == '"' || c == '='; }

// The first `length` bytes at `p` spell `word` (lower case) in any case.
bool spells(const char* p, std::size_t length, std::string_view word) {
  return ascii_iequals(std::string_view(p, length), word);
}

// Whether the attributes of a start tag, the bytes from after its name up to
// its '>', hold both ParentDir and Name: the tag is a listing entry.
bool holds_entry_attributes(const char* p, const char* end) {
  bool parent_dir = false;
  bool name = false;
  while (p < end) {
    if (is_blank(*p) || *p == '/' || *p == '=') {
      ++p;
    } else if (*p == '"') {  // a value: skipped whole
      const void* close = std::memchr(p + 1, '"', static_cast<std::size_t>(end - p - 1));
      p = close ? static_cast<const char*>(close) + 1 : end;
    } else {
      const char* word = p;
      while (p < end && !ends_name(*p)) ++p;
      const std::size_t length = static_cast<std::size_t>(p - word);
      if (length == 9 && spells(word, 9, "parentdir")) parent_dir = true;
      if (length == 4 && spells(word, 4, "name")) name = true;
    }
  }
  return parent_dir && name;
}

}  // namespace

void CMessageFramer::append(const char* data, std::size_t size) {
  release_message();
  if (start_ > 0) {
    buffer_.erase(0, start_);
    scan_ -= start_;
    // Every offset of the scanner lies within the pending message.
    first_lt_ -= start_;
    tag_start_ -= start_;
    if (held_report_) boundary_ -= start_;
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
  if (transport == kMoreWaiting || pending() == 0 || ends_inside_markup()) return kNeedMore;
  if (transport == kWaitedInVain || all_closed()) {
    take(buffer_.size());
    return kMessage;
  }
  // An open report is held until the next bytes tell whether it goes on;
  // the earliest receive end stays the boundary while they say nothing yet.
  if (!held_report_ && heads_ == kReplyHeads && has_head_ && is_report()) {
    held_report_ = true;
    boundary_ = buffer_.size();
  }
  return kNeedMore;
}

bool CMessageFramer::is_report() const {
  return first_lt_ + 4 < buffer_.size() && spells(buffer_.data() + first_lt_ + 1, 3, "rpt") &&
         buffer_[first_lt_ + 4] == ' ';
}

std::size_t CMessageFramer::decide_held(TagKind kind) {
  if (!held_report_) return 0;
  held_report_ = false;
  return kind == kBeginsNew ? boundary_ : 0;
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
  // A message cut at the next one's head, read whole already, goes on
  // from after that head instead of reading it again.
  const std::size_t head_end = head_read_ ? head_end_ : 0;
  const bool head_closed = head_closed_;
  restart_scan();
  if (head_end != 0) {
    phase_ = kText;
    has_head_ = true;
    depth_ = head_closed ? 0 : 1;
    scan_ = head_end;
  }
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
  has_head_ = false;
  head_read_ = false;
  held_report_ = false;
  depth_ = 0;
  first_lt_ = tag_start_ = scan_;
  dashes_ = 0;
}

inline std::size_t CMessageFramer::start_tag_ended() {
  const char* data = buffer_.data();
  const bool self_closed = scan_ > tag_start_ + 1 && data[scan_ - 1] == '/';
  if (!has_head_) {
    has_head_ = true;
    depth_ = self_closed ? 0 : 1;
    return 0;
  }
  if (heads_ == kReplyHeads) {
    const char* name = data + tag_start_ + 1;
    const char* name_end = name;
    while (!ends_name(*name_end)) ++name_end;  // the tag's '>' stops it
    const std::size_t length = static_cast<std::size_t>(name_end - name);
    const bool message_name = length == 3 && (spells(name, 3, "rpt") || spells(name, 3, "ack"));
    // Nested tags that cannot begin a message are most tags of a listing:
    // their attributes are not looked at.
    if (held_report_ || message_name || depth_ == 0) {
      if (holds_entry_attributes(name_end, data + scan_)) {
        decide_held(kGoesOn);  // no message begins with an entry
      } else if (const std::size_t cut = decide_held(kBeginsNew)) {
        return cut;
      } else if (message_name || depth_ == 0) {
        head_read_ = true;
        head_end_ = scan_ + 1;
        head_closed_ = self_closed;
        return tag_start_;
      }
    }
  }
  if (!self_closed) ++depth_;
  return 0;
}

std::size_t CMessageFramer::scan() {
  const std::size_t size = buffer_.size();
  const char* const data = buffer_.data();
  for (; scan_ < size; ++scan_) {
    // The bulk of a message lies inside quoted values and between tags:
    // skip what cannot change the state in runs.
    if (quoted_) {
      const void* quote = std::memchr(data + scan_, '"', size - scan_);
      if (quote == nullptr) {
        scan_ = size;
        break;
      }
      scan_ = static_cast<std::size_t>(static_cast<const char*>(quote) - data);
      quoted_ = false;
      continue;
    }
    switch (phase_) {
      case kPrefix:
      case kText: {
        // Between tags only a '<' matters.
        const void* lt = std::memchr(data + scan_, '<', size - scan_);
        const std::size_t text_end =
            lt == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(lt) - data);
        // Text after a held report's receive is no part of it.
        if (held_report_) {
          for (std::size_t i = scan_; i < text_end; ++i) {
            if (!is_blank(data[i])) return decide_held(kBeginsNew);
          }
        }
        scan_ = text_end;
        if (lt == nullptr) return 0;
        if (phase_ == kPrefix) first_lt_ = scan_;
        tag_start_ = scan_;
        phase_ = kTagOpen;
        continue;
      }
      case kComment: {
        const void* gt = std::memchr(data + scan_, '>', size - scan_);
        if (gt == nullptr) {
          scan_ = size;
          return 0;
        }
        scan_ = static_cast<std::size_t>(static_cast<const char*>(gt) - data);
        // "-->", with "<!--" before it: "<!-->" is no end.
        if (scan_ >= tag_start_ + 6 && data[scan_ - 1] == '-' && data[scan_ - 2] == '-') {
          phase_ = kText;
        }
        continue;
      }
      case kStartTag:
      case kEndTag:
      case kOther:
        while (scan_ < size && !kTagSpecial.special[static_cast<unsigned char>(data[scan_])]) {
          ++scan_;
        }
        if (scan_ == size) return 0;
        break;
      case kTagOpen:
      case kBang:
        break;
    }
    const char c = data[scan_];
    if (c == '<') {
      // A '<' outside quotes opens a tag, also when one is left unfinished.
      tag_start_ = scan_;
      phase_ = kTagOpen;
      continue;
    }
    switch (phase_) {
      case kTagOpen:
        if (c == '/') {
          decide_held(kGoesOn);  // no message begins with an end tag
          phase_ = kEndTag;
        } else if (c == '!') {
          phase_ = kBang;
          dashes_ = 0;
        } else {
          // A declaration once every element has closed opens the next
          // document; in requests, so does any start tag.
          if (all_closed() && (c == '?' || heads_ == kRequestHeads)) return tag_start_;
          if (c == '?' && held_report_) return decide_held(kBeginsNew);
          phase_ = c == '?' ? kOther : kStartTag;
          if (c == '"') {
            quoted_ = true;
          } else if (c == '>' && phase_ == kStartTag) {
            if (const std::size_t cut = start_tag_ended()) return cut;
            phase_ = kText;
          }
        }
        break;
      case kStartTag:
        if (c == '"') {
          quoted_ = true;
        } else {  // '>'
          if (const std::size_t cut = start_tag_ended()) return cut;
          phase_ = kText;
        }
        break;
      case kEndTag:
        if (c == '"') {
          quoted_ = true;
        } else {  // '>'
          if (has_head_ && depth_ > 0) --depth_;
          phase_ = kText;
        }
        break;
      case kOther:
        if (c == '"') {
          quoted_ = true;
        } else {  // '>'
          phase_ = kText;
        }
        break;
      case kBang:
        if (c == '-' && ++dashes_ == 2) {
          phase_ = kComment;
        } else if (c != '-') {
          // "<!" that opens no comment is a declaration: no part of a
          // held report.
          if (held_report_) return decide_held(kBeginsNew);
          if (c == '>') {
            phase_ = kText;
          } else {
            phase_ = kOther;
            quoted_ = c == '"';
          }
        }
        break;
      case kPrefix:
      case kText:
      case kComment:
        break;
    }
  }
  return 0;
}

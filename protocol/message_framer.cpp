#include "protocol/message_framer.h"

#include <cstring>

#include "util/ascii.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

void CMessageFramer::append(const char* data, std::size_t size) {
  release_message();
  if (start_ > 0) {
    buffer_.erase(0, start_);
    scan_ -= start_;
    start_ = 0;
  }
  buffer_.append(data, size);
}

CMessageFramer::Status CMessageFramer::next(bool more_waiting) {
  release_message();
  std::size_t end = scan();
  if (end == 0) {
    const std::size_t held = pending();
    if (held > kMaxMessageBytes) {
      reset();
      return kTooLarge;
    }
    if (more_waiting || !could_end_without_more()) return kNeedMore;
    end = buffer_.size();
  }
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

void CMessageFramer::release_message() {
  if (terminated_) {
    buffer_[message_end_] = saved_byte_;
    terminated_ = false;
  }
  message_ = nullptr;
  message_size_ = 0;
}

void CMessageFramer::restart_scan() {
  phase_ = kBeforeFirstTag;
  quoted_ = false;
  prev_slash_ = false;
  after_gt_ = false;
  first_name_.clear();
  end_name_.clear();
  end_name_done_ = false;
}

namespace {

// Bytes that matter between and inside the later tags of a message when not
// inside quotes; everything else is skipped in runs.
struct BodyBytes {
  bool special[256];
  constexpr BodyBytes() : special() {
    special[static_cast<unsigned char>('"')] = true;
    special[static_cast<unsigned char>('<')] = true;
    special[static_cast<unsigned char>('>')] = true;
  }
};
constexpr BodyBytes kBodyBytes;

}  // namespace

std::size_t CMessageFramer::scan() {
  const std::size_t size = buffer_.size();
  const char* const data = buffer_.data();
  for (; scan_ < size; ++scan_) {
    // The bulk of a message lies between and inside its later tags: skip
    // what cannot change the state in runs rather than byte by byte.
    if (phase_ == kBody || phase_ == kTag) {
      const std::size_t from = scan_;
      if (quoted_) {
        const void* quote = std::memchr(data + scan_, '"', size - scan_);
        scan_ = quote ? static_cast<std::size_t>(static_cast<const char*>(quote) - data) : size;
      } else {
        while (scan_ < size && !kBodyBytes.special[static_cast<unsigned char>(data[scan_])]) {
          ++scan_;
        }
      }
      if (scan_ != from) after_gt_ = false;
      if (scan_ == size) break;
    }
    const char c = data[scan_];
    if (phase_ == kBeforeFirstTag) {
      if (c == '<') phase_ = kFirstTagName;
      continue;
    }
    if (c == '"') {
      quoted_ = !quoted_;
      prev_slash_ = false;
      after_gt_ = false;
      continue;
    }
    after_gt_ = false;
    if (quoted_) continue;

    switch (phase_) {
      case kFirstTagName:
      case kFirstTag:
        if (c == '>') {
          if (prev_slash_) return ++scan_;  // the first tag closed itself
          const bool prologue =
              !first_name_.empty() && (first_name_[0] == '?' || first_name_[0] == '!');
          phase_ = prologue ? kAfterPrologue : kBody;
          after_gt_ = true;
        } else if (c == '/') {
          // A '/' right after '<' opens a closing tag; elsewhere it may
          // close the tag itself.
          if (!(phase_ == kFirstTagName && first_name_.empty())) {
            prev_slash_ = true;
            phase_ = kFirstTag;
          }
          continue;
        } else if (c == '<') {
          phase_ = kTagOpen;
        } else if (phase_ == kFirstTagName) {
          if (is_blank(c)) {
            phase_ = kFirstTag;
          } else {
            first_name_.push_back(ascii_lower(c));
          }
        }
        prev_slash_ = false;
        break;
      case kAfterPrologue:
        if (c == '<') {
          phase_ = kFirstTagName;
          first_name_.clear();
        } else if (c == '>') {
          after_gt_ = true;
        }
        break;
      case kBody:
      case kTag:
        if (c == '<') {
          phase_ = kTagOpen;
        } else if (c == '>') {
          phase_ = kBody;
          after_gt_ = true;
        }
        break;
      case kTagOpen:
        if (c == '/') {
          phase_ = kEndTagName;
          end_name_.clear();
          end_name_done_ = false;
        } else if (c == '>') {
          phase_ = kBody;
          after_gt_ = true;
        } else if (c != '<') {
          phase_ = kTag;
        }
        break;
      case kEndTagName:
        if (c == '>') {
          if (!first_name_.empty() && end_name_ == first_name_) return ++scan_;
          phase_ = kBody;
          after_gt_ = true;
        } else if (c == '<') {
          phase_ = kTagOpen;
        } else if (is_blank(c)) {
          end_name_done_ = !end_name_.empty();
        } else if (c != '/') {
          if (end_name_done_) {
            phase_ = kTag;  // more than a name: not the end tag
          } else {
            end_name_.push_back(ascii_lower(c));
          }
        }
        break;
      case kBeforeFirstTag:
        break;
    }
  }
  return 0;
}

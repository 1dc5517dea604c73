#include "fuzz/framing_property.h"

#include <cctype>

#include "protocol/message_framer.h"

namespace {

const char* const kSpace[] = {"", "", "\r\n", "\n", " "};
const char* const kRpt[] = {"RPT", "rpt", "Rpt"};
const char* const kAck[] = {"ACK", "ack", "Ack"};
const char* const kOtherHead[] = {"Reply", "Status", "r"};

template <std::size_t N>
const char* pick(const char* const (&options)[N], ByteSource& bytes) {
  return options[bytes.next() % N];
}

std::string entry(ByteSource& bytes, int i) {
  const std::string n = "\"n" + std::to_string(i) + "\"";
  switch (bytes.next() % 5) {
    case 0:
      return "<file ParentDir=\"\\a\\\" Name=" + n + "/>";
    case 1:  // extra attributes, a status among them
      return "\n  <dir ParentDir=\"\\a\\\" Name=" + n + " Result=\"success\" Size=\"1\"/>";
    case 2:  // named as a message, but an entry
      return std::string("<") + pick(kAck, bytes) + " Result=\"success\" ParentDir=\"\\\" Name=" +
             n + "/>";
    case 3:  // head-like text in a value
      return "<file ParentDir=\"<ACK Result=x>\" Name=" + n + "></file>";
    default:
      return "<File Name=" + n + " parentdir=\"\\b\\\"/>";
  }
}

// Elements nested in a message: entries, status elements at any depth,
// comments holding head-like text.
std::string body(ByteSource& bytes) {
  std::string out;
  const int count = bytes.next() % 5;
  for (int i = 0; i < count; ++i) {
    switch (bytes.next() % 6) {
      case 0:
        out += "<Status Result=\"success\"/>";
        break;
      case 1:
        out += "<Error errcode=\"3\" errtext=\"nested\"><x Result=\"failed\"/></Error>";
        break;
      case 2:
        out += "<!-- <RPT Result=\"success\"/> -->";
        break;
      default:
        out += entry(bytes, i);
        break;
    }
  }
  return out;
}

// A message whose text starts with "<RPT ": a progress report or a listing
// message. `open` tells whether its head never closes.
std::string report(ByteSource& bytes, bool& open) {
  const std::string name = pick(kRpt, bytes);
  open = false;
  switch (bytes.next() % 5) {
    case 0:
      return "<" + name + " TotalBytes=\"10\" CompleteBytes=\"" + std::to_string(bytes.next()) +
             "\"/>";
    case 1:
      return "<" + name + " TotalBytes=\"10\" CompleteBytes=\"5\"><x Result=\"success\"/></" +
             name + ">";
    case 2:  // entries after a closed head
      return "<" + name + " Result=\"success\"/>" + entry(bytes, 7) + entry(bytes, 8);
    case 3:
      open = true;
      return "<" + name + " Result=\"success\">" + body(bytes);
    default:
      return "<" + name + " Result=\"success\">" + body(bytes) + "</" + name + ">";
  }
}

// The final message of a reply.
std::string final_message(ByteSource& bytes, bool after_open) {
  const std::string ack = pick(kAck, bytes);
  const std::string other = pick(kOtherHead, bytes);
  // After a head that never closed only a head named ACK certainly begins
  // the final message: it comes with no prologue then.
  const std::string prologue = !after_open && bytes.next() % 4 == 0 ? "<?xml version=\"1.0\"?>" : "";
  switch (bytes.next() % (after_open ? 3 : 7)) {
    case 0:
      return prologue + "<" + ack + " Result=\"success\"/>";
    case 1:
      return prologue + "<" + ack + " Result=\"failed\" errcode=\"17\" errtext=\"a b\"/>";
    case 2:
      return prologue + "<" + ack + " Result=\"success\" ClientID=\"K7\">";  // never closed
    case 3:
      return prologue + "<" + other + " Result=\"success\" Size=\"5\"/>";
    case 4:  // the status nested only
      return prologue + "<" + other + "><Status Result=\"success\"/>" + body(bytes) + "</" +
             other + ">";
    case 5:
      return prologue + "<" + other + " Result=\"failed\"><e errtext=\"deep\"/></" + other + ">";
    default:
      return prologue + "<" + ack + " Result=\"success\">" + body(bytes) + "</" + ack + ">";
  }
}

// For each offset p of `text` (1 <= p <= size): whether the bytes before p
// end inside a tag, a quoted value or a comment. Index 0 is unused.
std::vector<bool> inside_markup(const std::string& text) {
  std::vector<bool> out(text.size() + 1, false);
  bool in_tag = false, quoted = false, comment = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (comment) {
      if (c == '>' && i >= 2 && text.compare(i - 2, 2, "--") == 0) comment = false;
    } else if (quoted) {
      quoted = c != '"';
    } else if (in_tag) {
      if (c == '"') quoted = true;
      if (c == '>') in_tag = false;
    } else if (c == '<') {
      comment = text.compare(i, 4, "<!--") == 0;
      in_tag = !comment;
    }
    out[i + 1] = in_tag || quoted || comment;
  }
  return out;
}

// Offsets where a cut of `text` lies inside markup.
std::vector<std::size_t> cuts_inside_markup(const std::string& text) {
  const std::vector<bool> inside = inside_markup(text);
  std::vector<std::size_t> out;
  for (std::size_t p = 1; p < text.size(); ++p) {
    if (inside[p]) out.push_back(p);
  }
  return out;
}

// Offsets of an open report (its text starts with "<RPT ", its head not
// closed) where a cut between two tags is proved to go on: before an end
// tag or an entry, past the head.
std::vector<std::size_t> cuts_before_continuation(const std::string& text) {
  std::vector<std::size_t> out;
  std::string lower = text;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::size_t first = lower.find('<');
  const std::size_t head_end = lower.find('>');
  if (first == std::string::npos || lower.compare(first, 5, "<rpt ") != 0 ||
      head_end == std::string::npos || lower[head_end - 1] == '/') {
    return out;
  }
  const std::vector<bool> inside = inside_markup(text);
  for (std::size_t p = head_end + 1; p < text.size(); ++p) {
    if (text[p] != '<' || inside[p]) continue;
    const std::string tag = lower.substr(p, lower.find('>', p) - p);
    const bool entry =
        tag.find("parentdir=") != std::string::npos && tag.find(" name=") != std::string::npos;
    if (text[p + 1] == '/' || entry) out.push_back(p);
  }
  return out;
}

// Takes every message the framer gives for a receive that ended here; when
// `long_gap`, also what the grace wait then lets go.
void take_all(CMessageFramer& framer, CMessageFramer::Transport transport, bool long_gap,
              std::vector<std::string>& out) {
  for (;;) {
    CMessageFramer::Status status = framer.next(transport);
    if (status == CMessageFramer::kNeedMore && long_gap &&
        transport == CMessageFramer::kReceiveEnded && framer.wants_grace()) {
      status = framer.next(CMessageFramer::kWaitedInVain);
    }
    if (status != CMessageFramer::kMessage) return;
    out.emplace_back(framer.message(), framer.message_size());
  }
}

}  // namespace

std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r\n") + 1 - first);
}

std::vector<std::string> make_reply_messages(ByteSource& bytes) {
  std::vector<std::string> out;
  const int reports = bytes.next() % 7;
  bool open = false;
  for (int i = 0; i < reports; ++i) out.push_back(pick(kSpace, bytes) + report(bytes, open));
  out.push_back(pick(kSpace, bytes) + final_message(bytes, open));
  return out;
}

std::vector<std::string> frame_delivery(const std::vector<std::string>& messages,
                                        ByteSource& bytes) {
  CMessageFramer framer;
  std::vector<std::string> out;
  for (std::size_t m = 0; m < messages.size(); ++m) {
    const std::string& text = messages[m];
    // Where this message's bytes are cut: inside markup, or in an open
    // report before a tag that proves it goes on (a receive ends, the rest
    // comes after any delay), or anywhere while more follows.
    const std::vector<std::size_t> inside = cuts_inside_markup(text);
    const std::vector<std::size_t> going_on = cuts_before_continuation(text);
    std::size_t offset = 0;
    while (offset < text.size()) {
      const std::uint8_t choice = bytes.next();
      std::size_t end = text.size();
      CMessageFramer::Transport transport = CMessageFramer::kReceiveEnded;
      if (choice % 4 == 1 && !inside.empty()) {
        const std::size_t cut = inside[bytes.next() % inside.size()];
        if (cut > offset) end = cut;
      } else if (choice % 4 == 0 && !going_on.empty()) {
        const std::size_t cut = going_on[bytes.next() % going_on.size()];
        if (cut > offset) end = cut;
      } else if (choice % 4 == 2) {
        end = std::min(text.size(), offset + 1 + bytes.next() % 64);
        transport = CMessageFramer::kMoreWaiting;
      }
      // A message's last byte may go on at once into the next message.
      if (end == text.size() && m + 1 < messages.size() && choice % 4 == 3) {
        transport = CMessageFramer::kMoreWaiting;
      }
      framer.append(text.data() + offset, end - offset);
      offset = end;
      take_all(framer, transport, (choice & 0x80) != 0, out);
    }
  }
  take_all(framer, CMessageFramer::kReceiveEnded, true, out);
  for (std::string& message : out) message = trimmed(message);
  return out;
}

bool drip_fed_reading_sound(const std::vector<std::string>& messages, ByteSource& bytes) {
  std::string stream;
  for (const std::string& m : messages) stream += m;
  CMessageFramer framer;
  std::vector<std::string> out;
  std::size_t offset = 0;
  while (offset < stream.size()) {
    const std::size_t n = std::min<std::size_t>(1 + bytes.next() % 48, stream.size() - offset);
    framer.append(stream.data() + offset, n);
    offset += n;
    take_all(framer, CMessageFramer::kReceiveEnded, true, out);
  }
  std::string read;
  for (const std::string& m : out) {
    if (inside_markup(m).back()) return false;
    read += m;
  }
  return read.size() + framer.pending() == stream.size() && stream.compare(0, read.size(), read) == 0;
}

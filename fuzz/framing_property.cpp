#include "fuzz/framing_property.h"

#include "protocol/message_framer.h"

namespace {

const char* const kSpace[] = {"", "", "\r\n", "\n", " "};
const char* const kAck[] = {"ACK", "ack", "Ack"};
const char* const kRpt[] = {"RPT", "rpt", "Rpt"};

template <std::size_t N>
const char* pick(const char* const (&options)[N], ByteSource& bytes) {
  return options[bytes.next() % N];
}

// Entries inside a listing message; some carry head-like text where no head
// may begin: inside quotes, inside a comment.
std::string entries(ByteSource& bytes) {
  std::string out;
  const int count = bytes.next() % 4;
  for (int i = 0; i < count; ++i) {
    switch (bytes.next() % 4) {
      case 0:
        out += "<file ParentDir=\"\\a\\\" Name=\"n" + std::to_string(i) + "\"/>";
        break;
      case 1:
        out += "\n<dir ParentDir=\"\\a\\\" Name=\"<ACK Result=x>\"/>";
        break;
      case 2:
        out += "<!-- <RPT Result=\"success\"/> -->";
        break;
      default:
        out += "<file Name=\"z\" Size=\"12\"></file>";
        break;
    }
  }
  return out;
}

std::string message(ByteSource& bytes) {
  std::string m = pick(kSpace, bytes);
  switch (bytes.next() % 6) {
    case 0:
      m += std::string("<") + pick(kRpt, bytes) + " TotalBytes=\"10\" CompleteBytes=\"" +
           std::to_string(bytes.next()) + "\"/>";
      break;
    case 1:
      m += std::string("<") + pick(kAck, bytes) +
           (bytes.next() % 2 ? " Result=\"success\"/>"
                             : " Result=\"failed\" errcode=\"17\" errtext=\"a b\"/>");
      break;
    case 2: {
      const char* name = pick(kRpt, bytes);
      m += std::string("<") + name + " Result=\"success\">" + entries(bytes) + "</" + name + ">";
      break;
    }
    case 3: {
      const char* name = pick(kAck, bytes);
      m += std::string("<") + name + " Result=\"success\">" + entries(bytes) + "</" + name + ">";
      break;
    }
    case 4:
      m += "<Reply Result=\"success\" Size=\"5\"/>";
      break;
    default:
      m += "<?xml version=\"1.0\"?><ACK Result=\"success\" ClientID=\"c\"/>";
      break;
  }
  return m;
}

}  // namespace

std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r\n") + 1 - first);
}

std::vector<std::string> make_reply_messages(ByteSource& bytes) {
  std::vector<std::string> out;
  const int count = 1 + bytes.next() % 8;
  for (int i = 0; i < count; ++i) out.push_back(message(bytes));
  return out;
}

std::vector<std::string> frame_with_cuts(const std::vector<std::string>& messages,
                                         ByteSource& bytes) {
  std::string stream;
  for (const std::string& m : messages) stream += m;
  CMessageFramer framer;
  std::vector<std::string> out;
  auto take_all = [&](CMessageFramer::Transport transport) {
    while (framer.next(transport) == CMessageFramer::kMessage) {
      out.push_back(trimmed(std::string(framer.message(), framer.message_size())));
    }
  };
  std::size_t offset = 0;
  while (offset < stream.size()) {
    // A chunk of 1 to 64 bytes, or the rest.
    const std::uint8_t choice = bytes.next();
    const std::size_t length = choice == 0 ? stream.size() - offset : 1 + choice % 64;
    const std::size_t n = std::min(length, stream.size() - offset);
    framer.append(stream.data() + offset, n);
    offset += n;
    // The next chunk may already be waiting, or come after a short pause.
    const bool more_waiting = offset < stream.size() && bytes.next() % 2 == 0;
    take_all(more_waiting ? CMessageFramer::kMoreWaiting : CMessageFramer::kNothingWaiting);
  }
  take_all(CMessageFramer::kWaitedInVain);
  return out;
}

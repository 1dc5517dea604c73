// Where a received message ends.
//
// The protocol frames nothing: a reader takes the bytes of one receive as
// one message, and a service sends each message in a receive of its own.
// A reader therefore never cuts a receive apart and never holds one back:
// whatever its bytes are (elements after a self-closed head, nested tags
// named RPT or ACK, stray end tags, comments, text, any number of '"'), the
// receive is one message and is read at once.
//
// It reads on past a receive in two cases only, where the bytes themselves
// prove the message goes on:
//   - the receive filled its buffer while more bytes already wait on the
//     socket: a message longer than one receive;
//   - the receive ends inside a tag (its last '<' has no '>' after it): the
//     transport cut a message in two. Its rest is awaited for a short,
//     bounded time; when nothing comes, the bytes are read as they are.
// Quotes are not counted for either test: a value may hold any number of
// '"', so only the plain bytes '<' and '>' decide.
//
// One more case is read past the design of one receive a message, without
// changing what a whole message gives: a report joined in one receive with
// the final reply after it (a service that does not wait for the client to
// read each message). The receive is read whole as the report it is; the
// final reply joined to it ends the request only when nothing more comes
// within kJoinedFinalWaitMilliseconds, where a reader of one receive would
// wait for ever (see joined_final_start).
//
// Requests are read the same way by the service, with one addition: a
// client that sends its next request before the reply to the last one was
// read may find both joined in one receive. A receive is cut before a
// request element that follows a tag's '>' (see joined_request_start).
#ifndef BREVANTO_PROTOCOL_MESSAGE_BOUNDS_H_
#define BREVANTO_PROTOCOL_MESSAGE_BOUNDS_H_

#include <cstddef>
#include <string_view>

namespace message_bounds {

// A message that grows past this many bytes is refused.
constexpr std::size_t kMaxMessageBytes = 1 << 20;
// How long the rest of a message cut inside a tag is awaited.
constexpr int kSplitWaitMilliseconds = 200;

// How long a report with a final reply joined to it waits for a message
// of its own before the joined final reply ends the request.
constexpr int kJoinedFinalWaitMilliseconds = 1000;

// Whether the last '<' of `bytes` has no '>' after it.
bool ends_inside_tag(std::string_view bytes);

// The offset of a second request joined to the first in `bytes`: a '<'
// that follows a '>' (white space between allowed) and opens an element
// named like a request of the protocol (any letter case). `bytes.size()`
// when there is none.
std::size_t joined_request_start(std::string_view bytes);

// The offset of a final reply joined after a report in `bytes`: a start
// tag named ACK (any letter case) that follows a '>', once the report's
// head has closed (itself, or by its end tag before). npos when none.
std::size_t joined_final_start(std::string_view bytes);

}  // namespace message_bounds

#endif  // BREVANTO_PROTOCOL_MESSAGE_BOUNDS_H_

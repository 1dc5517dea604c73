// Generated reply messages of the three kinds a client parses most.
#ifndef BREVANTO_BENCH_CORPUS_H_
#define BREVANTO_BENCH_CORPUS_H_

#include <cstddef>
#include <string>
#include <vector>

namespace bench {

// Listing messages of about 4 KB, many entries each, non-ASCII names.
// `entries` receives the number of entries in all.
std::vector<std::string> listing_messages(std::size_t count, std::size_t* entries = nullptr,
                                          const char* first_tag = "RPT");
// Progress reports of a long transfer.
std::vector<std::string> progress_reports(std::size_t count);
// File-information replies.
std::vector<std::string> file_info_replies(std::size_t count);

}  // namespace bench

#endif  // BREVANTO_BENCH_CORPUS_H_

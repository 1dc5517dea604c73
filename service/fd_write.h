// Writing a whole buffer to a file descriptor, through short writes and
// interrupted calls.
#ifndef BREVANTO_SERVICE_FD_WRITE_H_
#define BREVANTO_SERVICE_FD_WRITE_H_

#include <cstddef>

// Writes all `size` bytes of `data` to `fd`; false with errno set (EIO when
// the file took nothing) when it cannot.
bool write_all(int fd, const void* data, std::size_t size);

#endif  // BREVANTO_SERVICE_FD_WRITE_H_

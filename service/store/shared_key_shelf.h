// Where the wrapped account keys live when several services on several
// hosts share one content store: a place every host sees, in which a name
// can be made only while it is missing, so that two services making the
// key of one account at once end with one key, the first one stored.
#ifndef BREVANTO_SERVICE_STORE_SHARED_KEY_SHELF_H_
#define BREVANTO_SERVICE_STORE_SHARED_KEY_SHELF_H_

#include <cstdint>
#include <string>

class SharedKeyShelf {
 public:
  virtual ~SharedKeyShelf() = default;
  // The account's wrapped key into `*wrapped`; false when it has none.
  // Throws ServiceError when the shelf cannot be reached.
  virtual bool read(std::int64_t user_id, std::string* wrapped) = 0;
  // Stores `wrapped` as the account's key unless it already has one (then
  // nothing changes). Throws ServiceError.
  virtual void add_if_missing(std::int64_t user_id, const std::string& wrapped) = 0;
};

#endif  // BREVANTO_SERVICE_STORE_SHARED_KEY_SHELF_H_

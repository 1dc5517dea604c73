// The wrapped account keys in the shared PostgreSQL catalog (the table
// account_keys): what every service given the same --catalog sees.
#ifndef BREVANTO_SERVICE_STORE_PG_KEY_SHELF_H_
#define BREVANTO_SERVICE_STORE_PG_KEY_SHELF_H_

#include <memory>
#include <string>

#include "service/store/pg_connection.h"
#include "service/store/shared_key_shelf.h"

class PgKeyShelf : public SharedKeyShelf {
 public:
  // Connects and brings the schema up to date. Throws ServiceError.
  explicit PgKeyShelf(const std::string& conninfo);

  // Not thread-safe: ContentKeys serialises its calls. A lost connection
  // is made again at the next call.
  bool read(std::int64_t user_id, std::string* wrapped) override;
  void add_if_missing(std::int64_t user_id, const std::string& wrapped) override;

 private:
  PgConnection& db();

  std::string conninfo_;
  std::unique_ptr<PgConnection> db_;
};

#endif  // BREVANTO_SERVICE_STORE_PG_KEY_SHELF_H_

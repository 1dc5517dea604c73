#include "service/store/pg_key_shelf.h"

#include "service/store/pg_schema.h"

PgKeyShelf::PgKeyShelf(const std::string& conninfo)
    : conninfo_(conninfo), db_(std::make_unique<PgConnection>(conninfo)) {
  migrate_pg_schema(*db_);
}

PgConnection& PgKeyShelf::db() {
  if (db_->broken()) db_ = std::make_unique<PgConnection>(conninfo_);
  return *db_;
}

bool PgKeyShelf::read(std::int64_t user_id, std::string* wrapped) {
  PgResult found = db().run("SELECT wrapped FROM account_keys WHERE user_id = $1", {user_id});
  if (found.rows() == 0) return false;
  *wrapped = found.bytes(0, 0);
  return true;
}

void PgKeyShelf::add_if_missing(std::int64_t user_id, const std::string& wrapped) {
  // One statement, so no transaction of ours: the primary key decides
  // which of two services inserting at once stores its key.
  db().run("INSERT INTO account_keys(user_id, wrapped) VALUES($1, $2) "
           "ON CONFLICT (user_id) DO NOTHING",
           {user_id, PgParam::bytes(wrapped)});
}

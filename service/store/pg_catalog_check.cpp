// The shared catalog's part of `brevanto-service check`: the store's rules
// (catalog_rules.h) over its rows, read in one snapshot. PostgreSQL's own
// checks of its files (amcheck) need an extension and rights that a
// service's role should not have: they are left to the database's
// administrator.
#include <string>
#include <vector>

#include "service/store/catalog_rules.h"
#include "service/store/pg_file_catalog.h"

std::vector<std::string> PgFileCatalog::catalog_faults() {
  std::lock_guard<std::mutex> lock(mu_);
  CatalogRules rules;
  // One snapshot for every table: rows that other services change
  // meanwhile are seen before or after the change, never half.
  db_->exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
  try {
    {
      const PgResult r = db_->run(
          "SELECT user_id, sha256, size, refs, CASE WHEN external THEN data END FROM contents");
      for (int i = 0; i < r.rows(); ++i) {
        rules.content(r.int64(i, 0), r.text(i, 1), r.int64(i, 2), r.int64(i, 3),
                      r.is_null(i, 4) ? std::string() : r.bytes(i, 4));
      }
    }
    {
      const PgResult r = db_->run(
          "SELECT user_id, project, parent, name, is_dir, content, size"
          " FROM nodes ORDER BY user_id, project, parent, name");
      for (int i = 0; i < r.rows(); ++i) {
        rules.current(r.int64(i, 0), r.text(i, 1), r.text(i, 2), r.text(i, 3), r.boolean(i, 4),
                      r.text(i, 5), r.int64(i, 6));
      }
    }
    {
      const PgResult r = db_->run(
          "SELECT user_id, project, parent || name, is_dir, content, size, from_seq, to_seq"
          " FROM history");
      for (int i = 0; i < r.rows(); ++i) {
        rules.past(r.int64(i, 0), r.text(i, 1), r.text(i, 2), r.boolean(i, 3), r.text(i, 4),
                   r.int64(i, 5), r.int64(i, 6), r.int64(i, 7));
      }
    }
    {
      const PgResult r = db_->run("SELECT user_id, bytes, entries FROM usage");
      for (int i = 0; i < r.rows(); ++i) {
        rules.usage(r.int64(i, 0), Usage{r.int64(i, 1), r.int64(i, 2)});
      }
    }
    {
      const PgResult r = db_->run("SELECT user_id, sha256 FROM doomed");
      for (int i = 0; i < r.rows(); ++i) rules.doomed(r.int64(i, 0), r.text(i, 1));
    }
    {
      const PgResult r = db_->run(
          "SELECT user_id, project, name, seq FROM points ORDER BY user_id, project, name");
      for (int i = 0; i < r.rows(); ++i) {
        rules.point(r.int64(i, 0), r.text(i, 1), r.text(i, 2), r.int64(i, 3));
      }
    }
    db_->exec("COMMIT");
  } catch (...) {
    try {
      db_->exec("ROLLBACK");
    } catch (...) {
    }
    throw;
  }
  return rules.faults();
}

// The SQLite catalog's part of `brevanto-service check`: SQLite's own
// integrity check, then the store's rules (catalog_rules.h) over its rows.
#include <string>
#include <vector>

#include "service/store/catalog_rules.h"
#include "service/store/sqlite_file_catalog.h"

std::vector<std::string> SqliteFileCatalog::catalog_faults() {
  std::lock_guard<std::mutex> lock(mu_);
  CatalogRules rules;
  {
    SqliteDb::Statement st(db_, "PRAGMA integrity_check");
    while (st.step()) {
      const std::string line = st.text(0);
      if (line != "ok") rules.add_fault("catalog damaged: " + line);
    }
  }
  {
    SqliteDb::Statement st(db_,
                           "SELECT user_id, sha256, size, refs,"
                           " CASE WHEN external THEN data END FROM contents");
    while (st.step()) {
      rules.content(st.int64(0), st.text(1), st.int64(2), st.int64(3),
                    st.is_null(4) ? std::string() : st.text(4));
    }
  }
  {
    SqliteDb::Statement st(db_,
                           "SELECT user_id, project, parent, name, is_dir, content, size"
                           " FROM nodes ORDER BY user_id, project, parent, name");
    while (st.step()) {
      rules.current(st.int64(0), st.text(1), st.text(2), st.text(3), st.int64(4) != 0,
                    st.text(5), st.int64(6));
    }
  }
  {
    SqliteDb::Statement st(db_,
                           "SELECT user_id, project, parent || name, is_dir, content, size,"
                           " from_seq, to_seq FROM history");
    while (st.step()) {
      rules.past(st.int64(0), st.text(1), st.text(2), st.int64(3) != 0, st.text(4), st.int64(5),
                 st.int64(6), st.int64(7));
    }
  }
  {
    SqliteDb::Statement st(db_, "SELECT user_id, bytes, entries FROM usage");
    while (st.step()) rules.usage(st.int64(0), Usage{st.int64(1), st.int64(2)});
  }
  {
    SqliteDb::Statement st(db_, "SELECT user_id, sha256 FROM doomed");
    while (st.step()) rules.doomed(st.int64(0), st.text(1));
  }
  {
    SqliteDb::Statement st(db_,
                           "SELECT user_id, project, name, seq FROM points"
                           " ORDER BY user_id, project, name");
    while (st.step()) rules.point(st.int64(0), st.text(1), st.text(2), st.int64(3));
  }
  return rules.faults();
}

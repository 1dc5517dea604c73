// Figures of the service's store, printed one per line:
//   store N files: X s    N small files added, then each updated once, in
//                         two sessions (without a quota, and with one that
//                         every change is checked against)
//   check N files: X s    `brevanto-service check` of that store (N files,
//                         N past versions)
// Usage: service_store_bench [FILES]
// With BREVANTO_BENCH_PG (a libpq connection string; its database is
// emptied) the store figure is taken with the PostgreSQL catalog too.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "service/store/filetime.h"
#include "service/store/folder_content_store.h"
#include "service/store/sqlite_file_catalog.h"
#ifdef BREVANTO_WITH_PG
#include "service/store/pg_connection.h"
#include "service/store/pg_file_catalog.h"
#endif
#include "service/store/store.h"
#include "service/store/store_check.h"
#include "tests/service_test_files.h"
#include "util/sha256.h"

namespace {

NewContent small_content(const std::string& bytes) {
  NewContent content;
  content.size = static_cast<std::int64_t>(bytes.size());
  Sha256 sha;
  sha.update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  content.sha256 = sha.hex();
  content.bytes = bytes;
  return content;
}

void fill(Store& store, const TreeId& tree, int files) {
  store.open_tree(tree);
  Entry file;
  file.create_time = file.modify_time = filetime_now();
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < files; ++i) {
      const std::string path =
          "\\d" + std::to_string(i % 100) + "\\f" + std::to_string(i) + ".txt";
      const std::string bytes = "file " + std::to_string(i) + " round " + std::to_string(round) +
                                std::string(200 + i % 500, 'x');
      store.put_file(tree, parse_storage_path(path), round == 1, small_content(bytes), nullptr,
                     file);
    }
    store.end_session(tree, true);
  }
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 20000;
  TempDir dir;
  const int root_fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  {
    SqliteFileCatalog catalog(dir.path() + "/catalog.sqlite3");
    FolderContentStore contents(root_fd, "content", dir.path());
    Store store(catalog, contents, RetentionPolicy());
    auto start = std::chrono::steady_clock::now();
    fill(store, TreeId{1, ""}, files);
    std::printf("store %d files: %.2f s without a quota", files, seconds_since(start));
    store.set_quotas([](std::int64_t) { return Quota{std::int64_t{1} << 40, 1 << 30, "bench"}; });
    start = std::chrono::steady_clock::now();
    fill(store, TreeId{2, ""}, files);
    std::printf(", %.2f s with one\n", seconds_since(start));
  }
#ifdef BREVANTO_WITH_PG
  if (const char* pg = std::getenv("BREVANTO_BENCH_PG")) {
    PgConnection(pg).exec("DROP SCHEMA public CASCADE; CREATE SCHEMA public;");
    PgFileCatalog catalog(pg);
    FolderContentStore contents(root_fd, "content-pg", dir.path());
    Store store(catalog, contents, RetentionPolicy());
    const auto start = std::chrono::steady_clock::now();
    fill(store, TreeId{1, ""}, files);
    std::printf("store %d files, PostgreSQL catalog: %.2f s without a quota\n", files,
                seconds_since(start));
  }
#endif
  SqliteFileCatalog catalog(dir.path() + "/catalog.sqlite3");
  FolderContentStore contents(root_fd, "content", dir.path());
  std::FILE* out = std::tmpfile();
  const auto start = std::chrono::steady_clock::now();
  const long faults = check_store(catalog, contents, out);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::fclose(out);
  std::printf("check %d files: %.2f s (%ld fault(s))\n", files, took.count(), faults);
  ::close(root_fd);
  return faults == 0 ? 0 : 1;
}

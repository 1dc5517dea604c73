// A content writer for the store's tests that runs `hook` once its content
// is in place, before the row that refers to it commits: another upload,
// removal or collection can be made to come in between.
#ifndef BREVANTO_TESTS_HOOKED_WRITER_H_
#define BREVANTO_TESTS_HOOKED_WRITER_H_

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "service/store/content_store.h"

class HookedWriter : public ContentWriter {
 public:
  HookedWriter(std::unique_ptr<ContentWriter> inner, std::function<void()> hook)
      : inner_(std::move(inner)), hook_(std::move(hook)) {}
  int fd() const override { return inner_->fd(); }
  int place(const std::string& sha256) override {
    const int err = inner_->place(sha256);
    if (err == 0 && hook_) hook_();
    return err;
  }

 private:
  std::unique_ptr<ContentWriter> inner_;
  std::function<void()> hook_;
};

#endif  // BREVANTO_TESTS_HOOKED_WRITER_H_

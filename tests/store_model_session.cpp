#include "tests/store_model_session.h"

#include "xml/reply_document.h"

namespace {

Answer answer_of(const std::string& reply) {
  Answer a;
  a.replied = !reply.empty();
  bool failed = false;
  const std::string code = attribute_of(reply, "errcode", &failed);
  if (a.replied && failed) a.errcode = code.empty() ? -1 : std::stoi(code);
  return a;
}

}  // namespace

bool ModelSession::login(const std::string& user, const std::string& password,
                         const std::string& project) {
  id_ = wire_.login(user, password, project);
  return !id_.empty();
}

Answer ModelSession::exchange(const std::string& request) {
  if (!wire_.send(request)) return Answer();
  std::string reply = wire_.read_message();
  while (reply.compare(0, 5, "<RPT ") == 0) reply = wire_.read_message();
  return answer_of(reply);
}

Answer ModelSession::transfer(const char* request, const std::string& path,
                              const std::string& local) {
  return exchange(std::string("<") + request + " PathName=\"\\" + path + "\" LocalPathName=\"" +
                  local + "\" ClientID=\"" + id_ + "\"/>");
}

Answer ModelSession::add_file(const std::string& path, const std::string& local) {
  return transfer("AddFile", path, local);
}

Answer ModelSession::update_file(const std::string& path, const std::string& local) {
  return transfer("UpdateFile", path, local);
}

Answer ModelSession::download(const std::string& path, const std::string& local) {
  return transfer("DownloadFile", path, local);
}

Answer ModelSession::remove(const std::string& path) {
  return exchange("<RemoveFile PathName=\"\\" + path + "\" ClientID=\"" + id_ + "\"/>");
}

Answer ModelSession::add_dir(const std::string& path) {
  return exchange("<AddDir PathName=\"\\" + path + "\" ClientID=\"" + id_ + "\"/>");
}

Answer ModelSession::logout() {
  return exchange("<logout ClientID=\"" + id_ + "\"/>");
}

Answer ModelSession::list(const std::string& start, bool recursive,
                          std::vector<ListedEntry>* out) {
  if (!wire_.send("<GetFileList StartDir=\"\\" + start + "\" SearchSubDirs=\"" +
                  (recursive ? "true" : "false") + "\" ClientId=\"" + id_ + "\"/>")) {
    return Answer();
  }
  for (;;) {
    const std::string message = wire_.read_message();
    _reply_document doc;
    parse_reply(doc, message.c_str());
    // The entries follow the message's own first tag.
    for (std::size_t i = 1; i < doc.elements.size(); ++i) {
      const _reply_element& e = doc.elements[i];
      if (e.name != "file" && e.name != "dir") continue;
      std::string parent, name;
      for (const _reply_attribute& a : e.attributes) {
        if (a.name == "ParentDir") parent = a.value;
        if (a.name == "Name") name = a.value;
      }
      ListedEntry entry;
      entry.path = (parent + name).substr(parent.empty() ? 0 : 1);
      entry.is_dir = e.name == "dir";
      out->push_back(entry);
    }
    if (message.compare(0, 5, "<RPT ") != 0) return answer_of(message);
  }
}

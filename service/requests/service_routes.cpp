#include "service/requests/service_routes.h"

#include "service/accounts/login_requests.h"
#include "service/requests/listing.h"
#include "service/requests/transfers.h"
#include "service/requests/tree_requests.h"

const RequestRoutes& service_routes() {
  static const RequestRoutes routes = [] {
    RequestRoutes r;
    r.login = handle_login;
    r.logout = handle_logout;
    r.routes = {
        {"GetFileList", handle_get_file_list}, {"GetFileInfo", handle_get_file_info},
        {"AddDir", handle_add_dir},            {"RemoveFile", handle_remove_file},
        {"AddFile", handle_add_file},          {"UpdateFile", handle_update_file},
        {"DownloadFile", handle_download_file},
    };
    return r;
  }();
  return routes;
}

// The transfer requests. The service itself reads or writes the local file
// (see local_paths.h), sends <RPT TotalBytes=".." CompleteBytes=".."/>
// progress reports (see progress_reporter.h, the last one with all bytes
// done) and ends with <ACK Result="success"/> or an error reply.
//
// <AddFile PathName="storage" LocalPathName="local" ClientID=".."/>
//   stores a new file; refused with kAlreadyExists when the storage path
//   exists. Missing parent directories are made. Reversion becomes 1.
// <UpdateFile ...>: replaces the content of an existing stored file (the
//   old content is not kept); kNotFound when there is none. Reversion goes
//   up by one, CreateTime stays.
// <DownloadFile ...>: writes the stored file to the local path, replacing
//   an existing local file; missing local directories below a local root
//   are made.
// LastModifyTime is the local file's modification time at upload, given to
// the stored file and back to the local file at download. Every write goes
// through an AtomicFile; a client that disconnects or a stopping service
// aborts the transfer and leaves the target as it was.
#ifndef BREVANTO_SERVICE_REQUESTS_TRANSFERS_H_
#define BREVANTO_SERVICE_REQUESTS_TRANSFERS_H_

#include "service/net/client_registry.h"

class Request;
class Session;

void handle_add_file(Session& session, const Request& request, const Binding& who);
void handle_update_file(Session& session, const Request& request, const Binding& who);
void handle_download_file(Session& session, const Request& request, const Binding& who);

#endif  // BREVANTO_SERVICE_REQUESTS_TRANSFERS_H_

// The single-reply requests on the storage tree.
//
// <GetFileInfo PathName=".." ClientID=".."/>: Size, CreateTime,
//   LastModifyTime (FILETIME counts), BackupType and Reversion of a file or
//   directory. A file with a catalog row reports the row's times and
//   numbers; a directory, or a file placed in the tree by other means,
//   reports its file system times, BackupType 0 and Reversion 0.
// <AddDir PathName=".." ClientID=".." />: makes the directory and any
//   missing parents; an existing directory is a success.
// <RemoveFile PathName=".." ClientID=".."/>: removes a file, a symbolic
//   link (never its target), or a directory with all its content, and
//   their catalog rows. The root cannot be removed.
#ifndef BREVANTO_SERVICE_REQUESTS_TREE_REQUESTS_H_
#define BREVANTO_SERVICE_REQUESTS_TREE_REQUESTS_H_

#include "service/net/client_registry.h"

class Request;
class Session;

void handle_get_file_info(Session& session, const Request& request, const Binding& who);
void handle_add_dir(Session& session, const Request& request, const Binding& who);
void handle_remove_file(Session& session, const Request& request, const Binding& who);

#endif  // BREVANTO_SERVICE_REQUESTS_TREE_REQUESTS_H_

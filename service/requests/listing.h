// <GetFileList StartDir=".." SearchSubDirs="true|false" ClientId=".."/>
//
// Lists a directory of the storage tree, with SearchSubDirs "true" (any
// case) everything below it too. Entries come as
//   <file ParentDir="\a\" Name="b.txt"/>  or  <dir ParentDir="\a\" Name="c"/>
// in zero or more <RPT Result="success">...</RPT> messages and a final
// <ACK Result="success">...</ACK> (or <ACK Result="success"/> with none),
// each message at most 4096 bytes and sent on its own once the client has
// read the one before (reply_sender.h), so a client that reads one receive
// as one message sees every entry. Order: depth first, each directory's
// entry followed at once by its content, siblings sorted by the bytes of
// their names. The top of a tree lists "\.history", the earlier versions
// (see store.h), which a recursive listing of the top does not enter; a
// listing of "\.history" itself does.
#ifndef BREVANTO_SERVICE_REQUESTS_LISTING_H_
#define BREVANTO_SERVICE_REQUESTS_LISTING_H_

#include "service/net/client_registry.h"

class Request;
class Session;

void handle_get_file_list(Session& session, const Request& request, const Binding& who);

#endif  // BREVANTO_SERVICE_REQUESTS_LISTING_H_

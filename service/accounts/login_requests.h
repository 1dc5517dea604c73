// login and logout.
//
// <login User=".." Password=".." ProjectName=".." ClientType=".." ClientID="0"/>
// checks the password and answers with a new ClientID bound to (user,
// project); ClientType and the ClientID sent are not used. A wrong user or
// password gets an error reply without ClientID. <logout ClientID=".."/>
// forgets that ClientID and always succeeds.
#ifndef BREVANTO_SERVICE_ACCOUNTS_LOGIN_REQUESTS_H_
#define BREVANTO_SERVICE_ACCOUNTS_LOGIN_REQUESTS_H_

class Request;
class Session;

// Longest project name accepted, in bytes.
constexpr unsigned kMaxProjectBytes = 120;

void handle_login(Session& session, const Request& request);
void handle_logout(Session& session, const Request& request);

#endif  // BREVANTO_SERVICE_ACCOUNTS_LOGIN_REQUESTS_H_

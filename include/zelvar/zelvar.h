// Zelvar: the social side of a player account, as a module a game server
// loads. This is the one header a host includes.
//
// Order of use: load the library, OpenLog with a CTool, OpenDBFriend with a
// connection string (else the built-in one stays in force), then any
// number of requests from any thread. Reply buffers go back through
// MyDeletePtr.
#ifndef ZELVAR_ZELVAR_H_
#define ZELVAR_ZELVAR_H_

#include <stdint.h>

#include "zelvar/ctool.h"
#include "zelvar/kparam.h"

extern "C" {

// Stores `tool` (the address of a CTool, or 0) as the module's logger.
// Always 0.
ZELVAR_EXPORT int OpenLog(intptr_t tool);

// Opens a test connection with the zero-terminated UTF-8 connection string
// at *connection; on success it is in force for every later statement and
// the result is 0. Otherwise -1 and the earlier string stays.
ZELVAR_EXPORT int OpenDBFriend(char** connection);

// Changes the social data of `nUserId` (commands 1500, 1505, 1510, 1550 in
// key 1 of the packet). 0 or -1.
ZELVAR_EXPORT int PutUserExtraDataFriend(int nUserId, int DataId, char* pParam, int nParamLen);

// Answers query `kind` (1605, 1610, 1615, 1620) for `nUserId`. On 0, *reply
// holds a new packet image of *replyLength bytes for MyDeletePtr.
ZELVAR_EXPORT int GetUserExtraDataFriend(int nUserId, unsigned int kind, char** reply,
                                         int* replyLength);

// Account lookup (DataId 1660) and goods sending (1560). -1 only when
// nParamLen < 1; otherwise 0 with the outcome at key 0 of *reply.
ZELVAR_EXPORT int GetQueryExtraDataFriendRecord(int nUserId, int DataId, char* pParam,
                                                int nParamLen, char** reply, int* replyLength);

// Frees a reply buffer handed out by the module; null does nothing.
ZELVAR_EXPORT void MyDeletePtr(char* p);

}  // extern "C"

#endif  // ZELVAR_ZELVAR_H_

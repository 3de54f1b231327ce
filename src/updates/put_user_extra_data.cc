// The exported update entry point. Nothing thrown below it crosses into
// the host: every exception, std::bad_alloc included, answers -1.

#include "db/deadline.h"
#include "updates/dispatcher.h"
#include "zelvar/zelvar.h"

extern "C" int PutUserExtraDataFriend(int nUserId, int DataId, char* pParam, int nParamLen) {
  try {
    zelvar::db::RequestScope request;
    return zelvar::updates::DispatchUpdate(nUserId, DataId, pParam, nParamLen);
  } catch (...) {
    return -1;
  }
}

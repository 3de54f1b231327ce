// The host's side of the request cases, and the list of them.
#include "request_cases.h"

#include "zelvar/zelvar.h"

namespace zelvar::bench {

bool AskQuery(int user, unsigned kind, std::string* digest, int skip_key) {
  char* reply = nullptr;
  int length = 0;
  if (GetUserExtraDataFriend(user, kind, &reply, &length) != 0) return false;
  ReadReply(reply, length, digest, skip_key);
  MyDeletePtr(reply);
  return true;
}

bool AskRecord(int data_id, const std::string& request, std::string* digest) {
  char* reply = nullptr;
  int length = 0;
  if (GetQueryExtraDataFriendRecord(1, data_id, const_cast<char*>(request.data()),
                                    static_cast<int>(request.size()), &reply, &length) != 0) {
    return false;
  }
  ReadReply(reply, length, digest);
  MyDeletePtr(reply);
  return true;
}

bool Put(int user, int data_id, CKParam& request, std::string* digest) {
  const int result = PutUserExtraDataFriend(user, data_id, request.GetBufferPtr(),
                                            request.GetLength());
  if (digest != nullptr) *digest = std::to_string(result);
  return result == 0;
}

void Load(CKParam& packet, CKParam& request) {
  packet.SetBufferPtr(request.GetBufferPtr(), request.GetLength());
}

std::vector<Request> AllRequests() {
  std::vector<Request> requests = UpdateRequests();
  for (std::vector<Request> more : {QueryRequests(), RecordRequests()}) {
    requests.insert(requests.end(), more.begin(), more.end());
  }
  return requests;
}

}  // namespace zelvar::bench

// GetQueryExtraDataFriendRecord: account lookup by user name (request code
// 1660) and the sending of bought goods to an account (1560). Every outcome
// goes to the host's logger as one line, and the reply packet carries it at
// key 0.
//
// Each call works on its own packets and record sets; any number of host
// threads may call at once.

#include "goods/record_request.h"

#include <string>

#include "codec/keys.h"
#include "db/deadline.h"
#include "util/host_log.h"
#include "util/text.h"
#include "zelvar/zelvar.h"

namespace zelvar::goods {
namespace {

// The first integer of every line handed to the host's logger.
constexpr int kLogLevel = 7000;

int HandleRequest(int user_id, int data_id, char* param, int param_length, char** out,
                  int* out_length) {
  if (param_length < 1) {
    LogLine(u"Enter Error nParamLen：%d", {param_length});
    return -1;
  }
  // Bytes that don't form a packet leave it empty: every read below fails.
  CKParam request;
  request.SetBufferPtr(param, param_length);

  RecordReply reply(data_id, user_id, out, out_length);
  switch (data_id) {
    case codec::kAccountLookup:
      LookUpAccount(request, reply);
      break;
    case codec::kGoodsSending:
      SendGoods(request, user_id, reply);
      break;
    default:
      reply.Fail();
      break;
  }
  return 0;
}

}  // namespace

void LogLine(std::u16string_view format, std::initializer_list<FormatArg> args) noexcept {
  CTool* logger = CurrentLogger();
  if (logger == nullptr) return;
  try {
    const std::wstring line = ToWchar(FormatText(format, args));
    logger->Write(kLogLevel, L"%ls", line.c_str());
  } catch (...) {
  }
}

RecordReply::RecordReply(int data_id, int user_id, char** out, int* out_length)
    : data_id_(data_id), user_id_(user_id), out_(out), out_length_(out_length) {
  packet_.SetInt(codec::kRecordDataIdKey, data_id);
}

void RecordReply::Fail() {
  LogLine(u" 返回错误 DataId：%d,nUserId:%d", {data_id_, user_id_});
  packet_.SetInt(codec::kRecordResultKey, -1);
  HandOut();
}

bool RecordReply::Succeed() {
  packet_.SetInt(codec::kRecordResultKey, 0);
  if (out_ != nullptr && *out_ == nullptr) {
    HandOut();
    return true;
  }
  Fail();
  return false;
}

void RecordReply::HandOut() {
  if (out_ == nullptr || out_length_ == nullptr) return;
  codec::HandOut(packet_, out_, out_length_);
}

}  // namespace zelvar::goods

extern "C" int GetQueryExtraDataFriendRecord(int nUserId, int DataId, char* pParam,
                                             int nParamLen, char** reply, int* replyLength) {
  try {
    zelvar::db::RequestScope request;
    return zelvar::goods::HandleRequest(nUserId, DataId, pParam, nParamLen, reply,
                                        replyLength);
  } catch (...) {
    // Out of memory, or any other failure: no reply could be made.
    return -1;
  }
}

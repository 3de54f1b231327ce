// A tiny game-server host: links the installed libzelvar.so, hands it a
// logger and the connection string in argv[1], looks the account argv[2]
// up and reads that user's friend list. Prints "friends N" and exits 0
// when both requests answer.
#include <zelvar/zelvar.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tiny_host CONNECTION-STRING USER-NAME\n");
    return 2;
  }
  CTool logger(stderr);
  OpenLog(reinterpret_cast<intptr_t>(&logger));
  std::string connection = argv[1];
  char* text = connection.data();
  if (OpenDBFriend(&text) != 0) return 1;

  CKParam request;
  std::u16string name;
  for (const char* c = argv[2]; *c != '\0'; ++c) name.push_back(static_cast<char16_t>(*c));
  request.SetCString(100, name);
  char* reply = nullptr;
  int length = 0;
  if (GetQueryExtraDataFriendRecord(0, 1660, request.GetBufferPtr(), request.GetLength(), &reply, &length) != 0) return 1;
  CKParam account;
  int result = -1, id = 0;
  const bool read = account.SetBufferPtr(reply, length) == 0 && account.GetInt(0, result) == 0 &&
                    account.GetInt(50, id) == 0;
  MyDeletePtr(reply);
  if (!read || result != 0) return 1;

  reply = nullptr;
  if (GetUserExtraDataFriend(id, 1610, &reply, &length) != 0) return 1;
  CKParam friends;
  int count = -1;
  const bool listed = friends.SetBufferPtr(reply, length) == 0 && friends.GetInt(-10000, count) == 0;
  MyDeletePtr(reply);
  OpenLog(0);
  if (!listed) return 1;
  std::printf("friends %d\n", count);
  return 0;
}

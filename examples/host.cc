// A minimal host: builds a request packet, hands its image across the
// boundary as a game server would, and reads a packet back.
#include <zelvar/zelvar.h>

#include <cstdio>
#include <cstring>

int main() {
  OpenLog(0);  // no logger: the module drops its lines

  CKParam request;
  request.SetInt(1, 1510);        // command: record a trade
  request.SetInt(300, 42);        // the other party
  request.SetInt(301, 7);         // the play id
  request.SetCString(201, u"你好");

  // The wire image is the first GetLength() bytes at GetBufferPtr().
  char image[256];
  const int length = request.GetLength();
  std::memcpy(image, request.GetBufferPtr(), length);

  CKParam received;
  if (received.SetBufferPtr(image, length) != 0) return 1;
  int command = 0;
  CString text;
  if (received.GetInt(1, command) != 0 || received.GetCString(201, text) != 0) return 1;
  std::printf("command %d, %d records, %zu code units, checksum %d\n", command,
              received.GetPacketNum(), text.size(), received.GetPacketCrc());
  return command == 1510 && text == u"你好" ? 0 : 1;
}

// CTool: the logger a host hands to the module through OpenLog.
//
// The module writes its account and goods lines through Write. A CTool
// either appends time-stamped lines to a file or stream, or hands every
// finished line to a callback of the host's. Write may be called from any
// thread; lines never interleave.
#ifndef ZELVAR_CTOOL_H_
#define ZELVAR_CTOOL_H_

#include <cstdio>

#include "zelvar/kparam.h"  // ZELVAR_EXPORT

class ZELVAR_EXPORT CTool {
 public:
  // Receives each finished line as UTF-8 without a line end. `context` is
  // the pointer given at construction.
  using LineCallback = void (*)(void* context, int level, const char* line);

  // Writes to standard error.
  CTool();
  // Appends to the file at `path` (created when missing). A file that can't
  // be opened drops every line.
  explicit CTool(const char* path);
  // Writes to `stream`, which the caller keeps open while this CTool lives.
  explicit CTool(std::FILE* stream);
  CTool(LineCallback callback, void* context);

  // Copies share one sink.
  CTool(const CTool& other);
  CTool& operator=(const CTool& other);
  ~CTool();

  // Formats with the C library's wide conventions (%ls for a wide string,
  // %d for an int) and writes one line. Returns the number of wide
  // characters in the line, or -1 when it could not be formatted.
  int Write(int level, const wchar_t* format, ...);

 private:
  struct Sink;
  Sink* m_pSink;
};

#endif  // ZELVAR_CTOOL_H_

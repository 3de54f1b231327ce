// CTool: the host's logger. A Sink is shared by copies of one CTool and
// freed with the last of them; its mutex keeps whole lines apart.

#include "zelvar/ctool.h"

#include <atomic>
#include <cstdarg>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "util/text.h"
#include "util/time_text.h"

struct CTool::Sink {
  enum class Kind { kStream, kOwnedFile, kCallback };

  Kind kind = Kind::kStream;
  std::FILE* stream = nullptr;  // null: lines are dropped
  LineCallback callback = nullptr;
  void* context = nullptr;
  std::mutex mutex;
  std::atomic<int> references{1};

  ~Sink() {
    if (kind == Kind::kOwnedFile && stream != nullptr) std::fclose(stream);
  }
};

namespace {

// UTF-32 wide text as UTF-8; values that are no code point become "?".
std::string WcharToUtf8(const wchar_t* text, size_t length) {
  std::u16string units;
  units.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    const auto code_point = static_cast<uint32_t>(text[i]);
    if (code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) {
      units.push_back(u'?');
    } else if (code_point >= 0x10000) {
      units.push_back(static_cast<char16_t>(0xD800 + ((code_point - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((code_point - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(code_point));
    }
  }
  return zelvar::ToNarrow(units);
}

// Formats like vswprintf into a buffer that grows as needed. -1 when the
// format can't be used (glibc also answers -1 when the buffer is short, so
// the buffer grows up to a bound before giving up).
int FormatWide(const wchar_t* format, va_list args, std::wstring* out) {
  constexpr size_t kLimit = size_t{1} << 22;
  std::vector<wchar_t> buffer(256);
  while (true) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vswprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (n >= 0) {
      out->assign(buffer.data(), static_cast<size_t>(n));
      return n;
    }
    if (buffer.size() >= kLimit) return -1;
    buffer.resize(buffer.size() * 4);
  }
}

}  // namespace

CTool::CTool() : m_pSink(new Sink) { m_pSink->stream = stderr; }

CTool::CTool(const char* path) : m_pSink(new Sink) {
  m_pSink->kind = Sink::Kind::kOwnedFile;
  if (path != nullptr) m_pSink->stream = std::fopen(path, "ae");
}

CTool::CTool(std::FILE* stream) : m_pSink(new Sink) { m_pSink->stream = stream; }

CTool::CTool(LineCallback callback, void* context) : m_pSink(new Sink) {
  m_pSink->kind = Sink::Kind::kCallback;
  m_pSink->callback = callback;
  m_pSink->context = context;
}

CTool::CTool(const CTool& other) : m_pSink(other.m_pSink) {
  m_pSink->references.fetch_add(1, std::memory_order_relaxed);
}

CTool& CTool::operator=(const CTool& other) {
  if (m_pSink != other.m_pSink) {
    other.m_pSink->references.fetch_add(1, std::memory_order_relaxed);
    if (m_pSink->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete m_pSink;
    m_pSink = other.m_pSink;
  }
  return *this;
}

CTool::~CTool() {
  if (m_pSink->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete m_pSink;
}

int CTool::Write(int level, const wchar_t* format, ...) {
  if (format == nullptr) return -1;
  std::wstring line;
  va_list args;
  va_start(args, format);
  const int n = FormatWide(format, args, &line);
  va_end(args);
  if (n < 0) return -1;

  const std::string text = WcharToUtf8(line.data(), line.size());
  std::lock_guard<std::mutex> lock(m_pSink->mutex);
  if (m_pSink->kind == Sink::Kind::kCallback) {
    if (m_pSink->callback != nullptr) m_pSink->callback(m_pSink->context, level, text.c_str());
    return n;
  }
  if (m_pSink->stream != nullptr) {
    const std::string record = zelvar::NowText() + " " + text + "\n";
    std::fwrite(record.data(), 1, record.size(), m_pSink->stream);
    std::fflush(m_pSink->stream);
  }
  return n;
}

// The reply frame, its hand-out and the record-set walk of the query kinds.

#include "queries/reply.h"

#include <cstring>
#include <exception>
#include <utility>

#include "db/recordset.h"
#include "util/text.h"
#include "util/time_text.h"

namespace zelvar::queries {

namespace {

short PacketKey(int64_t key) { return static_cast<short>(key); }

}  // namespace

ReplyPacket::ReplyPacket(unsigned kind) { packet_.SetInt(1, static_cast<int>(kind)); }

void ReplyPacket::SetInt(int64_t key, int32_t value) { packet_.SetInt(PacketKey(key), value); }

void ReplyPacket::SetText(int64_t key, const std::u16string& text) {
  packet_.SetCString(PacketKey(key), text);
}

std::unique_ptr<char[]> ReplyPacket::TakeImage(int* length) {
  const int size = packet_.GetLength();
  const char* bytes = packet_.GetBufferPtr();
  if (size <= 0 || bytes == nullptr) return nullptr;
  std::unique_ptr<char[]> image(new char[size]);
  std::memcpy(image.get(), bytes, static_cast<size_t>(size));
  *length = size;
  return image;
}

int HandOut(std::unique_ptr<char[]> image, int length, char** reply, int* reply_length) {
  if (image == nullptr) return -1;
  *reply_length = length;
  *reply = image.release();
  return 0;
}

int HandOut(ReplyPacket& packet, char** reply, int* reply_length) {
  int length = 0;
  std::unique_ptr<char[]> image = packet.TakeImage(&length);
  return HandOut(std::move(image), length, reply, reply_length);
}

void ForEachCompleteRow(const db::RecordsetHandle& recordset,
                        std::initializer_list<const char*> fields,
                        const std::function<void(const std::vector<db::Variant>&)>& row) {
  // An empty handle has no row whose fields could be read.
  if (!recordset) return;
  // Each name is looked up once; an unknown one fails the read of every row.
  std::vector<int> columns;
  columns.reserve(fields.size());
  for (const char* name : fields) {
    columns.push_back(name != nullptr ? recordset->ColumnIndex(name) : -1);
  }
  // A field that fails leaves its slot as it was, and the row is skipped.
  std::vector<db::Variant> values(fields.size());
  while (!recordset->IsEOF()) {
    size_t read = 0;
    for (int column : columns) {
      bool ok = false;
      try {
        ok = recordset->GetFieldAt(column, &values[read]);
      } catch (const std::exception&) {
      }
      if (!ok) break;
      ++read;
    }
    if (read == fields.size()) row(values);
    if (!recordset->MoveNext()) break;
  }
}

std::u16string TextOf(const db::Variant& value) {
  std::u16string text;
  if (!value.ToText(&text)) text.clear();
  return text;
}

int64_t SecondsOf(const db::Variant& value) {
  // Date-times arrive as text: read in place, without a copy.
  if (value.kind() == db::Variant::Kind::kText) return ParseTimeText(value.text_view());
  std::u16string text;
  if (!value.ToText(&text)) return 0;
  return ParseTimeText(text);
}

}  // namespace zelvar::queries

// Reading packet images record by record, and packets to and from JSON.
#include "tools/zelvar/packet_view.h"

#include <cstring>
#include <limits>

#include "packet/coding.h"
#include "packet/record_walk.h"
#include "util/text.h"

namespace zelvar::cli {
namespace {

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char byte : bytes) {
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0xF]);
  }
  return out;
}

bool FromHex(const std::string& text, std::string* bytes) {
  auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (text.size() % 2 != 0) return false;
  bytes->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = digit(text[i]), low = digit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

// The width each fixed-size type needs; 0 for the variable ones.
size_t FixedWidth(int16_t type) {
  switch (type) {
    case kTypeShort: return 2;
    case kTypeInt:
    case kTypeLong: return 4;
    case kTypeBoolean: return 1;
    default: return 0;
  }
}

bool HasItsWidth(const PacketEntry& entry) {
  const size_t width = FixedWidth(entry.type);
  if (width != 0) return entry.data.size() == width;
  if (entry.type == kTypeText) return entry.data.size() % 2 == 0;
  return entry.type == kTypeBytes;
}

std::u16string TextOf(const PacketEntry& entry) {
  std::u16string text;
  for (size_t i = 0; i + 1 < entry.data.size(); i += 2) {
    text.push_back(static_cast<char16_t>(DecodeFixed16(entry.data.data() + i)));
  }
  return text;
}

int64_t NumberOf(const PacketEntry& entry) {
  switch (entry.type) {
    case kTypeShort: return DecodeSigned16(entry.data.data());
    case kTypeInt:
    case kTypeLong: return DecodeSigned32(entry.data.data());
    default: return entry.data[0] != 0;
  }
}

// Why the packet class refuses `image`'s header, in words.
std::string HeaderProblem(const std::string& image, HeaderFault fault) {
  switch (fault) {
    case HeaderFault::kShort:
      return "it holds " + std::to_string(image.size()) + " bytes, fewer than a packet's " +
             std::to_string(kHeaderSize) + "-byte header";
    case HeaderFault::kLengthMismatch:
      return "its header gives a length of " +
             std::to_string(DecodeSigned32(image.data() + kTotalLengthOffset)) +
             " bytes but it holds " + std::to_string(image.size());
    case HeaderFault::kCapacityOutOfRange:
      return "its header declares a capacity of " +
             std::to_string(DecodeFixed32(image.data() + kCapacityOffset)) +
             " bytes, outside 1 to " + std::to_string(kMaxReceivedCapacity);
    default:
      return "the packet class refuses its header";
  }
}

// Every record the header counts, which must fill the image exactly.
bool ReadEntries(const std::string& image, PacketImage* packet, std::string* error) {
  const int32_t count = packet->record_count;
  if (count < 0) {
    *error = "its header counts " + std::to_string(count) + " records";
    return false;
  }
  RecordWalk walk(image.data(), image.size(), count);
  PacketRecord record;
  while (walk.Next(&record)) {
    packet->entries.push_back({record.key, record.type, std::string(record.data, record.data_length)});
  }
  switch (walk.stop()) {
    case WalkStop::kTruncatedHeader:
      *error = "its header counts " + std::to_string(count) + " records but only " +
               std::to_string(walk.examined()) + " are there";
      return false;
    case WalkStop::kPastEnd:
      *error = "record " + std::to_string(walk.examined() + 1) + " at byte " +
               std::to_string(walk.offset()) + " claims " + std::to_string(walk.claimed_length()) +
               " data bytes, past the end of the packet";
      return false;
    default:
      break;
  }
  if (walk.offset() != image.size()) {
    *error = std::to_string(image.size() - walk.offset()) + " bytes follow its last record";
    return false;
  }
  return true;
}

}  // namespace

bool ReadPacket(const std::string& image, PacketImage* packet, std::string* error) {
  if (image.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
    *error = "it is larger than any packet";
    return false;
  }
  const HeaderFault fault = CheckImageHeader(image.data(), static_cast<int64_t>(image.size()));
  std::string copy = image;  // SetBufferPtr takes a mutable pointer
  CKParam loader;
  if (fault != HeaderFault::kNone ||
      loader.SetBufferPtr(copy.data(), static_cast<int>(copy.size())) != 0) {
    *error = HeaderProblem(image, fault);
    return false;
  }
  packet->total_length = DecodeSigned32(image.data() + kTotalLengthOffset);
  packet->record_count = DecodeSigned32(image.data() + kRecordCountOffset);
  packet->capacity = DecodeFixed32(image.data() + kCapacityOffset);
  packet->crc = loader.GetPacketCrc();
  packet->entries.clear();
  return ReadEntries(image, packet, error);
}

std::string TypeName(int16_t type) {
  switch (type) {
    case kTypeShort: return "short";
    case kTypeInt: return "int";
    case kTypeBytes: return "bytes";
    case kTypeText: return "text";
    case kTypeBoolean: return "bool";
    case kTypeLong: return "long";
    default: return std::to_string(type);
  }
}

std::string ValueText(const PacketEntry& entry) {
  if (!HasItsWidth(entry)) return "(" + std::to_string(entry.data.size()) + " bytes) " + Hex(entry.data);
  switch (entry.type) {
    case kTypeText: return "\"" + ToNarrow(TextOf(entry)) + "\"";
    case kTypeBytes: return entry.data.empty() ? "(no bytes)" : Hex(entry.data);
    case kTypeBoolean: return NumberOf(entry) != 0 ? "true" : "false";
    default: return std::to_string(NumberOf(entry));
  }
}

nlohmann::ordered_json EntryJson(const PacketEntry& entry) {
  nlohmann::ordered_json json = {{"key", entry.key}};
  const std::string type = TypeName(entry.type);
  json["type"] = FixedWidth(entry.type) != 0 || entry.type == kTypeText || entry.type == kTypeBytes
                     ? nlohmann::ordered_json(type)
                     : nlohmann::ordered_json(entry.type);
  if (!HasItsWidth(entry)) {
    json["value"] = nullptr;
    json["hex"] = Hex(entry.data);
  } else if (entry.type == kTypeText) {
    json["value"] = ToNarrow(TextOf(entry));
  } else if (entry.type == kTypeBytes) {
    json["value"] = Hex(entry.data);
  } else if (entry.type == kTypeBoolean) {
    json["value"] = NumberOf(entry) != 0;
  } else {
    json["value"] = NumberOf(entry);
  }
  return json;
}

std::vector<nlohmann::ordered_json> EntriesJson(const std::vector<PacketEntry>& entries) {
  std::vector<nlohmann::ordered_json> out;
  out.reserve(entries.size());
  for (const PacketEntry& entry : entries) out.push_back(EntryJson(entry));
  return out;
}

nlohmann::ordered_json PacketJson(const PacketImage& packet) {
  return {{"length", packet.total_length},
          {"records", packet.record_count},
          {"capacity", packet.capacity},
          {"crc", packet.crc},
          {"entries", EntriesJson(packet.entries)}};
}

namespace {

// A whole number from `low` to `high`, or false with `error` saying so.
bool WholeValue(const nlohmann::ordered_json& value, const std::string& where, const std::string& type,
                int64_t low, int64_t high, int64_t* out, std::string* error) {
  if (!value.is_number_integer() || value.get<int64_t>() < low || value.get<int64_t>() > high) {
    *error = where + "a " + type + " value must be a whole number from " + std::to_string(low) + " to " +
             std::to_string(high);
    return false;
  }
  *out = value.get<int64_t>();
  return true;
}

// Appends `value` under `key` as a record of `type` (a type's name). False
// with `error` when the value does not suit the type; `result` gets the
// packet's own answer.
bool AppendValue(short key, const std::string& type, const nlohmann::ordered_json& value,
                 const std::string& where, CKParam* packet, int* result, std::string* error) {
  int64_t number = 0;
  if (type == "short") {
    if (!WholeValue(value, where, type, -32768, 32767, &number, error)) return false;
    *result = packet->SetShortInt(key, static_cast<short>(number));
  } else if (type == "int" || type == "long") {
    if (!WholeValue(value, where, type, std::numeric_limits<int32_t>::min(),
                    std::numeric_limits<int32_t>::max(), &number, error)) {
      return false;
    }
    *result = type == "int" ? packet->SetInt(key, static_cast<int>(number))
                            : packet->SetLong(key, static_cast<long>(number));
  } else if (type == "bool") {
    if (!value.is_boolean()) {
      *error = where + "a bool value must be true or false";
      return false;
    }
    *result = packet->SetBoolean(key, value.get<bool>());
  } else if (type == "text") {
    if (!value.is_string()) {
      *error = where + "a text value must be a JSON string";
      return false;
    }
    const std::u16string text = ToWide(value.get<std::string>());
    if (text.size() > 0xFFFF) {
      *error = where + "a text holds at most 65535 UTF-16 code units";
      return false;
    }
    *result = packet->SetCString(key, text);
  } else if (type == "bytes") {
    std::string bytes;
    if (!value.is_string() || !FromHex(value.get<std::string>(), &bytes)) {
      *error = where + "a bytes value must be a string of hex digits, two per byte";
      return false;
    }
    *result = packet->SetChar(key, bytes.data(), static_cast<unsigned>(bytes.size()));
  } else {
    *error = where + "the type must be one of short, int, long, bool, text, bytes";
    return false;
  }
  return true;
}

// Appends entry number `index` of the JSON.
bool AppendEntry(const nlohmann::ordered_json& entry, int index, CKParam* packet, std::string* error) {
  const std::string where = "entry " + std::to_string(index) + ": ";
  if (!entry.is_object() || !entry.contains("key") || !entry.contains("type") || !entry.contains("value")) {
    *error = where + "needs \"key\", \"type\" and \"value\"";
    return false;
  }
  const nlohmann::ordered_json& key_json = entry["key"];
  if (!key_json.is_number_integer() || key_json.get<int64_t>() < -32768 || key_json.get<int64_t>() > 32767) {
    *error = where + "the key must be a whole number from -32768 to 32767";
    return false;
  }
  std::string type;
  if (entry["type"].is_string()) {
    type = entry["type"].get<std::string>();
  } else if (entry["type"].is_number_integer()) {
    type = TypeName(static_cast<int16_t>(entry["type"].get<int64_t>()));
  }
  int result = 0;
  if (!AppendValue(static_cast<short>(key_json.get<int64_t>()), type, entry["value"], where, packet, &result,
                   error)) {
    return false;
  }
  if (result != 0) {
    *error = where + "the packet refused it (too large)";
    return false;
  }
  return true;
}

}  // namespace

bool PacketFromJson(const nlohmann::ordered_json& json, CKParam* packet, std::string* error) {
  const nlohmann::ordered_json* entries = &json;
  if (json.is_object()) {
    if (!json.contains("entries")) {
      *error = "the JSON has no \"entries\" list";
      return false;
    }
    entries = &json["entries"];
  }
  if (!entries->is_array()) {
    *error = "\"entries\" must be a list of {\"key\", \"type\", \"value\"} objects";
    return false;
  }
  int index = 0;
  for (const nlohmann::ordered_json& entry : *entries) {
    if (!AppendEntry(entry, ++index, packet, error)) return false;
  }
  return true;
}

}  // namespace zelvar::cli

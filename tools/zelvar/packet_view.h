// Packet images as people and scripts see them: every record in order
// (duplicates and records no typed read would reach included), as text or
// JSON, and packets built from JSON with the CKParam class.
//
// Pure functions over their arguments; safe on any thread.
#ifndef ZELVAR_TOOLS_ZELVAR_PACKET_VIEW_H_
#define ZELVAR_TOOLS_ZELVAR_PACKET_VIEW_H_

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "zelvar/kparam.h"

namespace zelvar::cli {

struct PacketEntry {
  int16_t key = 0;
  int16_t type = 0;
  std::string data;  // the record's data bytes
};

struct PacketImage {
  int32_t total_length = 0;
  int32_t record_count = 0;
  uint32_t capacity = 0;
  int16_t crc = 0;
  std::vector<PacketEntry> entries;
};

// Reads `image` strictly: CKParam must load it, and its records must fill
// it exactly as its header says. Otherwise false with `error` saying what
// is wrong, in words.
bool ReadPacket(const std::string& image, PacketImage* packet, std::string* error);

// "short", "int", "bytes", "text", "bool", "long", or the code as a number.
std::string TypeName(int16_t type);
// The value for people: numbers, true/false, a quoted text, bytes in hex.
// A record whose width does not suit its type shows its bytes.
std::string ValueText(const PacketEntry& entry);

// {"key": 1, "type": "int", "value": 1610}
nlohmann::ordered_json EntryJson(const PacketEntry& entry);
std::vector<nlohmann::ordered_json> EntriesJson(const std::vector<PacketEntry>& entries);
// The header fields and the entries.
nlohmann::ordered_json PacketJson(const PacketImage& packet);

// Appends the entries of `json` (an object with "entries", or the array
// itself) to `packet` in order. False with `error` naming the first entry
// that is not usable.
bool PacketFromJson(const nlohmann::ordered_json& json, CKParam* packet, std::string* error);

}  // namespace zelvar::cli

#endif  // ZELVAR_TOOLS_ZELVAR_PACKET_VIEW_H_

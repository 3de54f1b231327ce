// zelvar packet decode / encode: packet images to and from JSON, for
// people debugging a host.
#include <unistd.h>

#include <cstdio>
#include <set>

#include "tools/zelvar/commands.h"
#include "tools/zelvar/packet_view.h"
#include "tools/zelvar/table.h"
#include "tools/zelvar/text_util.h"

namespace zelvar::cli {

int RunPacketDecode(const GlobalOptions& options, const std::string& file) {
  std::string image, error;
  if (!ReadFile(file, &image, &error)) return Fail(kExitUsage, error);
  PacketImage packet;
  if (!ReadPacket(image, &packet, &error)) {
    return Fail(kExitFailed, "'" + file + "' is not a packet: " + error +
                                 "; give the packet's first GetLength() bytes as they were sent");
  }
  if (options.json) {
    PrintJson(PacketJson(packet));
    return kExitOk;
  }
  PrintCaption("Packet: %d bytes, %d records, capacity %u, checksum %d\n", packet.total_length,
               packet.record_count, packet.capacity, packet.crc);
  Table table({{"#", Table::Align::kRight}, {"KEY", Table::Align::kRight}, {"TYPE"}, {"VALUE", Table::Align::kLeft, 72},
               {"NOTE"}});
  std::set<int16_t> seen;
  int index = 0;
  for (const PacketEntry& entry : packet.entries) {
    // A lookup finds the first record of a key; later ones are unreachable.
    const bool hidden = !seen.insert(entry.key).second;
    table.AddRow({std::to_string(++index), std::to_string(entry.key), TypeName(entry.type), ValueText(entry),
                  hidden ? "hidden by an earlier record with this key" : ""});
  }
  table.Print(stdout);
  return kExitOk;
}

int RunPacketEncode(const GlobalOptions& options, const std::string& json_file, const std::string& out_file) {
  std::string text, error;
  if (!ReadFile(json_file, &text, &error)) return Fail(kExitUsage, error);
  nlohmann::ordered_json json = nlohmann::ordered_json::parse(text, nullptr, false);
  if (json.is_discarded()) {
    return Fail(kExitUsage, "'" + json_file + "' is not JSON; see 'zelvar packet encode --help' for the form");
  }
  CKParam packet;
  if (!PacketFromJson(json, &packet, &error)) {
    return Fail(kExitUsage, json_file + ": " + error + "; see 'zelvar packet encode --help'");
  }
  if (packet.GetPacketNum() == 0) {
    // The header of a packet without records says 0 bytes, and receivers
    // refuse it.
    return Fail(kExitUsage, json_file + " holds no entry, and a packet without records can't be loaded; add one");
  }
  const std::string image(packet.GetBufferPtr(), static_cast<size_t>(packet.GetLength()));
  const std::string out = out_file.empty() ? "-" : out_file;
  if (out == "-" && isatty(STDOUT_FILENO)) {
    return Fail(kExitUsage, "a packet is binary; name a file with -o FILE (or pipe the output)");
  }
  if (!WriteFile(out, image, &error)) return Fail(kExitUsage, error);
  if (out != "-" && !options.json) {
    std::printf("Wrote %d bytes, %d records, to %s\n", packet.GetLength(), packet.GetPacketNum(), out.c_str());
  }
  return kExitOk;
}

}  // namespace zelvar::cli

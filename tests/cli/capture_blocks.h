// pcapng written byte by byte for tests, independently of PcapngWriter:
// blocks, options, interfaces of any name and time resolution, packets.
#ifndef TARNLINK_TESTS_CLI_CAPTURE_BLOCKS_H_
#define TARNLINK_TESTS_CLI_CAPTURE_BLOCKS_H_

#include <cstdint>
#include <string>

namespace tarnlink::test::pcapng {

inline std::string Le(uint64_t v, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i));
  return out;
}
inline std::string Block(uint32_t type, std::string body) {
  body.append((4 - body.size() % 4) % 4, '\0');
  const uint64_t total = 12 + body.size();
  return Le(type, 4) + Le(total, 4) + body + Le(total, 4);
}
inline std::string Option(uint16_t code, const std::string& value) {
  std::string o = Le(code, 2) + Le(value.size(), 2) + value;
  return o.append((4 - o.size() % 4) % 4, '\0');
}
inline std::string Section() { return Block(0x0A0D0D0A, Le(0x1A2B3C4D, 4) + Le(1, 2) + Le(0, 2) + Le(~0ull, 8)); }
// tsresol < 0: none (microseconds).
inline std::string Interface(const std::string& name, int tsresol = -1, uint16_t link_type = 227) {
  std::string options = name.empty() ? "" : Option(2, name);
  if (tsresol >= 0) options += Option(9, std::string(1, static_cast<char>(tsresol)));
  return Block(1, Le(link_type, 2) + Le(0, 2) + Le(0, 4) + options + Le(0, 4));
}
inline std::string Packet(uint32_t iface, uint64_t ticks, const std::string& record) {
  return Block(6, Le(iface, 4) + Le(ticks >> 32, 4) + Le(ticks & 0xFFFFFFFF, 4) + Le(record.size(), 4) +
                      Le(record.size(), 4) + record);
}
// A classic SocketCAN record: identifier word big-endian, length, then 8 data bytes.
inline std::string ClassicRecord(uint32_t id_word, const std::string& data) {
  std::string r{static_cast<char>(id_word >> 24),
                static_cast<char>(id_word >> 16),
                static_cast<char>(id_word >> 8),
                static_cast<char>(id_word),
                static_cast<char>(data.size()),
                0,
                0,
                0};
  return r + data + std::string(8 - data.size(), '\0');
}

}  // namespace tarnlink::test::pcapng

#endif  // TARNLINK_TESTS_CLI_CAPTURE_BLOCKS_H_

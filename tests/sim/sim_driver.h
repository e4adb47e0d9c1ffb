// Sends the family's commands to a VirtualDevice, the way the library builds them.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

#include "sim/sim.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;
using Cdb = std::array<uint8_t, 16>;

inline Cdb MakeCdb(std::initializer_list<uint8_t> head) {
  Cdb c{};
  size_t i = 0;
  for (uint8_t v : head) c[i++] = v;
  return c;
}
inline void Put32(Cdb& c, int at, uint32_t v) {
  for (int i = 0; i < 4; ++i) c[at + i] = uint8_t(v >> (8 * (3 - i)));
}
inline void Put16(Cdb& c, int at, uint16_t v) {
  c[at] = uint8_t(v >> 8);
  c[at + 1] = uint8_t(v);
}

inline Cdb FlashReadCdb(uint32_t address, uint16_t count) {
  Cdb c = MakeCdb({0xF6, 0x05, 0x06});
  Put32(c, 3, address);
  Put16(c, 7, count);
  return c;
}
inline Cdb FlashWriteCdb(uint32_t address, uint16_t count) {
  Cdb c = FlashReadCdb(address, count);
  c[1] = 0x06;
  return c;
}
inline Cdb SectorEraseCdb(uint16_t first, uint16_t count) {
  Cdb c = MakeCdb({0xF6, 0x15, 0x06});
  Put16(c, 3, first);
  Put16(c, 5, count);
  return c;
}
// READ(10) / WRITE(10), or the vendor path (F6 E1 / F6 E2).
inline Cdb SdCdb(bool vendor, bool write, uint32_t sector, uint16_t count) {
  Cdb c = vendor ? MakeCdb({0xF6, uint8_t(write ? 0xE2 : 0xE1), 0x00}) : MakeCdb({uint8_t(write ? 0x2A : 0x28)});
  Put32(c, vendor ? 3 : 2, sector);
  Put16(c, 7, count);
  return c;
}

inline Bytes Filled(size_t n, uint8_t v) { return Bytes(n, v); }
inline Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7 + (i >> 8));
  return b;
}

class Driver {
 public:
  explicit Driver(qmr::sim::VirtualDevice& device, int lun = 0) : d_(device), lun_(lun) {}

  bool In(const Cdb& c, Bytes& out) { return d_.Execute(lun_, c.data(), qmr::sim::Direction::In, out.data(), uint32_t(out.size())); }
  bool Out(const Cdb& c, Bytes data) { return d_.Execute(lun_, c.data(), qmr::sim::Direction::Out, data.data(), uint32_t(data.size())); }
  bool None(const Cdb& c) { return d_.Execute(lun_, c.data(), qmr::sim::Direction::None, nullptr, 0); }

  // The answer of a data-in command of n bytes, nullopt when it fails.
  std::optional<Bytes> Ask(const Cdb& c, size_t n) {
    Bytes b(n, 0xCC);
    if (!In(c, b)) return std::nullopt;
    return b;
  }

  std::optional<Bytes> FlashRead(uint32_t address, uint16_t count) { return Ask(FlashReadCdb(address, count), count * 512u); }
  bool FlashWrite(uint32_t address, const Bytes& data) { return Out(FlashWriteCdb(address, uint16_t(data.size() / 512)), data); }
  bool SectorErase(uint16_t first, uint16_t count) { return None(SectorEraseCdb(first, count)); }
  bool ChipErase() { return None(MakeCdb({0xF6, 0x08})); }
  bool Reset() { return None(MakeCdb({0xF6, 0xFF})); }
  // true busy, false idle, nullopt when the status command fails.
  std::optional<bool> Busy() {
    auto s = Ask(MakeCdb({0xF6, 0x01}), 2);
    if (!s) return std::nullopt;
    return (*s)[0] != 0 || (*s)[1] != 0;
  }
  std::optional<Bytes> SdRead(uint32_t sector, uint16_t count, bool vendor = false) {
    return Ask(SdCdb(vendor, false, sector, count), count * 512u);
  }
  bool SdWrite(uint32_t sector, const Bytes& data, bool vendor = false) {
    return Out(SdCdb(vendor, true, sector, uint16_t(data.size() / 512)), data);
  }
  bool SetSdOffset(uint32_t offset) {
    return Out(MakeCdb({0xF6, 0xE0}), {uint8_t(offset), uint8_t(offset >> 8), uint8_t(offset >> 16), uint8_t(offset >> 24)});
  }

 private:
  qmr::sim::VirtualDevice& d_;
  int lun_;
};

}  // namespace simtest

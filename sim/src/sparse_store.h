// Byte storage that holds only the 64 KiB blocks that differ from the blank
// value, so that an 8 GB card or a 256 MiB flash costs what was written.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

namespace qmr::sim {

class SparseStore {
 public:
  static constexpr uint64_t kBlockSize = 64 * 1024;

  // blank: what never-written bytes read as (0x00 for a card, 0xFF for NOR).
  SparseStore(uint64_t size, uint8_t blank) : size_(size), blank_(blank) {}

  uint64_t Size() const { return size_; }
  bool InRange(uint64_t offset, uint64_t length) const { return offset <= size_ && length <= size_ - offset; }

  // Callers check the range first.
  void Read(uint64_t offset, uint8_t* out, uint64_t length) const;
  void Write(uint64_t offset, const uint8_t* data, uint64_t length);
  // NOR programming: each byte becomes old AND data.
  void And(uint64_t offset, const uint8_t* data, uint64_t length);
  // Back to blank; whole blocks are released.
  void Blank(uint64_t offset, uint64_t length);
  void FlipBit(uint64_t offset, uint8_t bit);

  uint64_t BytesStored() const { return uint64_t(blocks_.size()) * kBlockSize; }

 private:
  using Block = std::unique_ptr<uint8_t[]>;
  uint8_t* Allocate(uint64_t index);
  bool AllBlank(const uint8_t* data, uint64_t length) const;

  uint64_t size_;
  uint8_t blank_;
  std::unordered_map<uint64_t, Block> blocks_;
};

}  // namespace qmr::sim

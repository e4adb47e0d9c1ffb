// Byte storage that holds only the 64 KiB blocks that differ from the blank
// value, so that an 8 GB card or a 256 MiB flash costs what was written.
// A store may instead live in a file, so that its content outlasts the
// process: the file holds the medium's bytes at their own offsets, and what
// lies past its end reads as blank. Ranges never written stay holes.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <unordered_map>

namespace qmr::sim {

class SparseStore {
 public:
  static constexpr uint64_t kBlockSize = 64 * 1024;

  // blank: what never-written bytes read as (0x00 for a card, 0xFF for NOR).
  SparseStore(uint64_t size, uint8_t blank);
  ~SparseStore();
  SparseStore(SparseStore&&) noexcept;

  // Keeps the content in the file at path, created when absent. A file that
  // holds more than the store's size is refused (the description would cut
  // it off). Returns false with the reason; *created tells whether the file
  // is new (its content is blank).
  bool AttachFile(const std::string& path, bool* created, std::string& error);
  bool FileBacked() const { return file_ != nullptr; }

  uint64_t Size() const { return size_; }
  bool InRange(uint64_t offset, uint64_t length) const { return offset <= size_ && length <= size_ - offset; }

  // Callers check the range first. The mutating ones fail only when a
  // backing file cannot be written (a full disk).
  bool Read(uint64_t offset, uint8_t* out, uint64_t length) const;
  bool Write(uint64_t offset, const uint8_t* data, uint64_t length);
  // NOR programming: each byte becomes old AND data.
  bool And(uint64_t offset, const uint8_t* data, uint64_t length);
  // Back to blank; whole blocks are released.
  bool Blank(uint64_t offset, uint64_t length);
  bool FlipBit(uint64_t offset, uint8_t bit);

  // Memory held; for a file, the blocks given data since it was opened.
  uint64_t BytesStored() const;

 private:
  using Block = std::unique_ptr<uint8_t[]>;
  uint8_t* Allocate(uint64_t index);
  bool AllBlank(const uint8_t* data, uint64_t length) const;

  struct File;
  uint64_t size_;
  uint8_t blank_;
  std::unordered_map<uint64_t, Block> blocks_;
  std::unique_ptr<File> file_;
};

}  // namespace qmr::sim

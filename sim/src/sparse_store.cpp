#include "sparse_store.h"

#include <algorithm>
#include <cstring>

namespace qmr::sim {
namespace {

// Calls f(blockIndex, offsetInBlock, offsetInRequest, bytes) for each block piece of a range.
template <typename F>
void ForEachPiece(uint64_t offset, uint64_t length, F&& f) {
  uint64_t done = 0;
  while (done < length) {
    const uint64_t at = offset + done;
    const uint64_t index = at / SparseStore::kBlockSize;
    const uint64_t within = at % SparseStore::kBlockSize;
    const uint64_t n = std::min(length - done, SparseStore::kBlockSize - within);
    f(index, within, done, n);
    done += n;
  }
}

}  // namespace

uint8_t* SparseStore::Allocate(uint64_t index) {
  auto& block = blocks_[index];
  if (!block) {
    block = std::make_unique<uint8_t[]>(kBlockSize);
    std::memset(block.get(), blank_, kBlockSize);
  }
  return block.get();
}

bool SparseStore::AllBlank(const uint8_t* data, uint64_t length) const {
  return std::all_of(data, data + length, [this](uint8_t b) { return b == blank_; });
}

void SparseStore::Read(uint64_t offset, uint8_t* out, uint64_t length) const {
  ForEachPiece(offset, length, [&](uint64_t index, uint64_t within, uint64_t done, uint64_t n) {
    auto it = blocks_.find(index);
    if (it == blocks_.end())
      std::memset(out + done, blank_, n);
    else
      std::memcpy(out + done, it->second.get() + within, n);
  });
}

void SparseStore::Write(uint64_t offset, const uint8_t* data, uint64_t length) {
  ForEachPiece(offset, length, [&](uint64_t index, uint64_t within, uint64_t done, uint64_t n) {
    // Formatting tools write long runs of blank sectors; they need no memory.
    if (!blocks_.count(index) && AllBlank(data + done, n)) return;
    std::memcpy(Allocate(index) + within, data + done, n);
  });
}

void SparseStore::And(uint64_t offset, const uint8_t* data, uint64_t length) {
  ForEachPiece(offset, length, [&](uint64_t index, uint64_t within, uint64_t done, uint64_t n) {
    // Programming 0xFF over blank NOR changes nothing.
    if (!blocks_.count(index) && blank_ == 0xFF && AllBlank(data + done, n)) return;
    uint8_t* block = Allocate(index) + within;
    for (uint64_t i = 0; i < n; ++i) block[i] &= data[done + i];
  });
}

void SparseStore::Blank(uint64_t offset, uint64_t length) {
  // Walks the stored blocks, not the range: a whole 2 TiB card may be blanked.
  const uint64_t end = offset + length;
  for (auto it = blocks_.begin(); it != blocks_.end();) {
    const uint64_t blockStart = it->first * kBlockSize;
    const uint64_t from = std::max(offset, blockStart), to = std::min(end, blockStart + kBlockSize);
    if (from >= to) {
      ++it;
    } else if (to - from == kBlockSize) {
      it = blocks_.erase(it);
    } else {
      std::memset(it->second.get() + (from - blockStart), blank_, to - from);
      ++it;
    }
  }
}

void SparseStore::FlipBit(uint64_t offset, uint8_t bit) {
  Allocate(offset / kBlockSize)[offset % kBlockSize] ^= uint8_t(1u << (bit & 7));
}

}  // namespace qmr::sim

#include "sparse_store.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>
#include <vector>

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

// The medium's bytes at their own offsets. Past the file's end the medium
// reads blank; a card's file (blank 0) is kept at the card's size, so that it
// reads as a disk image, with holes where nothing was written. A flash file
// (blank 0xFF, which no hole reads as) ends after the last byte programmed.
struct SparseStore::File {
  std::string path;
  mutable std::fstream stream;
  uint64_t size = 0;    // the medium's
  uint8_t blank = 0;
  uint64_t length = 0;  // the file's
  std::set<uint64_t> written;  // blocks given data since the file was opened

  bool FullSize() const { return blank == 0; }

  bool Reopen() {
    stream.close();
    stream.clear();
    stream.open(path, std::ios::in | std::ios::out | std::ios::binary);
    return stream.is_open();
  }

  bool Resize(uint64_t bytes) {
    stream.flush();
    stream.close();
    std::error_code ec;
    std::filesystem::resize_file(path, bytes, ec);
    const bool reopened = Reopen();
    if (ec || !reopened) return false;
    if (bytes < length) written.erase(written.lower_bound((bytes + kBlockSize - 1) / kBlockSize), written.end());
    length = bytes;
    return true;
  }

  bool Read(uint64_t offset, uint8_t* out, uint64_t n) const {
    const uint64_t inFile = offset < length ? std::min(n, length - offset) : 0;
    if (inFile > 0) {
      stream.clear();
      stream.seekg(std::streamoff(offset));
      stream.read(reinterpret_cast<char*>(out), std::streamsize(inFile));
      if (uint64_t(stream.gcount()) != inFile) {
        stream.clear();
        return false;
      }
    }
    std::memset(out + inFile, blank, n - inFile);
    return true;
  }

  bool AllBlank(const uint8_t* data, uint64_t n) const {
    return std::all_of(data, data + n, [this](uint8_t b) { return b == blank; });
  }

  bool Put(uint64_t offset, const uint8_t* data, uint64_t n) {
    // A gap before the data must read blank; a hole reads 0.
    if (offset > length && blank != 0) {
      std::vector<uint8_t> fill(size_t(std::min<uint64_t>(offset - length, kBlockSize)), blank);
      while (length < offset) {
        const uint64_t k = std::min<uint64_t>(offset - length, fill.size());
        if (!Put(length, fill.data(), k)) return false;
      }
    }
    stream.clear();
    stream.seekp(std::streamoff(offset));
    stream.write(reinterpret_cast<const char*>(data), std::streamsize(n));
    if (!stream.good()) {
      stream.clear();
      return false;
    }
    length = std::max(length, offset + n);
    for (uint64_t b = offset / kBlockSize; b * kBlockSize < offset + n; ++b) written.insert(b);
    return true;
  }

  bool Write(uint64_t offset, const uint8_t* data, uint64_t n) {
    std::vector<uint8_t> old;
    bool ok = true;
    ForEachPiece(offset, n, [&](uint64_t index, uint64_t within, uint64_t done, uint64_t k) {
      if (!ok) return;
      const uint64_t at = index * kBlockSize + within;
      // Blank over blank changes nothing: holes stay holes.
      if (AllBlank(data + done, k)) {
        if (at >= length) return;
        old.resize(size_t(k));
        if (!Read(at, old.data(), k)) return void(ok = false);
        if (AllBlank(old.data(), k)) return;
      }
      ok = Put(at, data + done, k);
    });
    stream.flush();
    return ok && stream.good();
  }

  bool And(uint64_t offset, const uint8_t* data, uint64_t n) {
    std::vector<uint8_t> piece;
    bool ok = true;
    ForEachPiece(offset, n, [&](uint64_t index, uint64_t within, uint64_t done, uint64_t k) {
      if (!ok) return;
      const uint64_t at = index * kBlockSize + within;
      piece.resize(size_t(k));
      if (!Read(at, piece.data(), k)) return void(ok = false);
      for (uint64_t i = 0; i < k; ++i) piece[i] &= data[done + i];
      ok = Write(at, piece.data(), k);
    });
    return ok;
  }

  bool Blank(uint64_t offset, uint64_t n) {
    if (offset >= length) return true;
    const uint64_t end = std::min(offset + n, length);
    if (end == length) {
      // The tail goes: cut the file there (a card's grows back as a hole).
      if (!Resize(offset)) return false;
      return !FullSize() || Resize(size);
    }
    const std::vector<uint8_t> fill(size_t(std::min<uint64_t>(end - offset, kBlockSize)), blank);
    for (uint64_t at = offset; at < end;) {
      const uint64_t k = std::min<uint64_t>(end - at, fill.size());
      if (!Write(at, fill.data(), k)) return false;
      at += k;
    }
    return true;
  }
};

SparseStore::SparseStore(uint64_t size, uint8_t blank) : size_(size), blank_(blank) {}
SparseStore::~SparseStore() = default;
SparseStore::SparseStore(SparseStore&&) noexcept = default;

bool SparseStore::AttachFile(const std::string& path, bool* created, std::string& error) {
  namespace fs = std::filesystem;
  auto file = std::make_unique<File>();
  file->path = path;
  file->size = size_;
  file->blank = blank_;
  std::error_code ec;
  const bool existed = fs::exists(path, ec);
  if (existed && !fs::is_regular_file(path, ec)) {
    error = path + ": not a regular file";
    return false;
  }
  if (!existed) {
    std::ofstream make(path, std::ios::out | std::ios::binary);
    if (!make.is_open()) {
      error = path + ": cannot be created (" + std::generic_category().message(errno) + ")";
      return false;
    }
  }
  if (!file->Reopen()) {
    error = path + ": cannot be opened for reading and writing (" + std::generic_category().message(errno) + ")";
    return false;
  }
  const uint64_t bytes = fs::file_size(path, ec);
  if (ec) {
    error = path + ": " + ec.message();
    return false;
  }
  if (bytes > size_) {
    error = path + ": holds " + std::to_string(bytes) + " bytes, more than the medium's " + std::to_string(size_);
    return false;
  }
  file->length = bytes;
  if (file->FullSize() && bytes < size_ && !file->Resize(size_)) {
    error = path + ": cannot be extended to " + std::to_string(size_) + " bytes";
    return false;
  }
  blocks_.clear();
  file_ = std::move(file);
  if (created != nullptr) *created = !existed;
  return true;
}

uint8_t* SparseStore::Allocate(uint64_t index) {
  auto& block = blocks_[index];
  if (!block) {
    block = std::make_unique<uint8_t[]>(kBlockSize);
    std::memset(block.get(), blank_, kBlockSize);
  }
  return block.get();
}

uint64_t SparseStore::BytesStored() const {
  return (file_ ? uint64_t(file_->written.size()) : uint64_t(blocks_.size())) * kBlockSize;
}

bool SparseStore::AllBlank(const uint8_t* data, uint64_t length) const {
  return std::all_of(data, data + length, [this](uint8_t b) { return b == blank_; });
}

bool SparseStore::Read(uint64_t offset, uint8_t* out, uint64_t length) const {
  if (file_) return file_->Read(offset, out, length);
  ForEachPiece(offset, length, [&](uint64_t index, uint64_t within, uint64_t done, uint64_t n) {
    auto it = blocks_.find(index);
    if (it == blocks_.end())
      std::memset(out + done, blank_, n);
    else
      std::memcpy(out + done, it->second.get() + within, n);
  });
  return true;
}

bool SparseStore::Write(uint64_t offset, const uint8_t* data, uint64_t length) {
  if (file_) return file_->Write(offset, data, length);
  ForEachPiece(offset, length, [&](uint64_t index, uint64_t within, uint64_t done, uint64_t n) {
    // Formatting tools write long runs of blank sectors; they need no memory.
    if (!blocks_.count(index) && AllBlank(data + done, n)) return;
    std::memcpy(Allocate(index) + within, data + done, n);
  });
  return true;
}

bool SparseStore::And(uint64_t offset, const uint8_t* data, uint64_t length) {
  if (file_) return file_->And(offset, data, length);
  ForEachPiece(offset, length, [&](uint64_t index, uint64_t within, uint64_t done, uint64_t n) {
    // Programming 0xFF over blank NOR changes nothing.
    if (!blocks_.count(index) && blank_ == 0xFF && AllBlank(data + done, n)) return;
    uint8_t* block = Allocate(index) + within;
    for (uint64_t i = 0; i < n; ++i) block[i] &= data[done + i];
  });
  return true;
}

bool SparseStore::Blank(uint64_t offset, uint64_t length) {
  if (file_) return file_->Blank(offset, length);
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
  return true;
}

bool SparseStore::FlipBit(uint64_t offset, uint8_t bit) {
  if (file_) {
    uint8_t b = 0;
    if (!file_->Read(offset, &b, 1)) return false;
    b ^= uint8_t(1u << (bit & 7));
    return file_->Write(offset, &b, 1);
  }
  Allocate(offset / kBlockSize)[offset % kBlockSize] ^= uint8_t(1u << (bit & 7));
  return true;
}

}  // namespace qmr::sim

#include "burnfiles/input_file.h"

#include <algorithm>
#include <vector>

#include "core/files.h"

namespace ardentix {
namespace {

void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

}  // namespace

std::optional<InputFile> InputFile::Open(const std::filesystem::path& path, std::string* error) {
  std::string reason;
  uint64_t size = 0;
  const FileHandle file = Platform().OpenForReading(path, size, reason);
  if (file == kNoFile) {
    SetError(error, reason == "not a regular file" ? "not a regular file: " + PathText(path)
                                                   : "cannot open " + PathText(path) + ": " + reason);
    return std::nullopt;
  }
  return InputFile(file, size, path);
}

InputFile::InputFile(InputFile&& other) noexcept
    : file_(other.file_), size_(other.size_), path_(std::move(other.path_)) {
  other.file_ = kNoFile;
}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    Close();
    file_ = other.file_;
    size_ = other.size_;
    path_ = std::move(other.path_);
    other.file_ = kNoFile;
  }
  return *this;
}

InputFile::~InputFile() { Close(); }

void InputFile::Close() {
  std::string ignored;
  if (file_ != kNoFile) Platform().Close(file_, ignored);
  file_ = kNoFile;
}

bool InputFile::ReadAt(uint64_t offset, void* into, size_t count, std::string* error) const {
  char* p = static_cast<char*>(into);
  std::string reason;
  while (count > 0) {
    const int64_t n = Platform().ReadAt(file_, offset, p, count, reason);
    if (n < 0) {
      SetError(error, "cannot read " + PathText(path_) + ": " + reason);
      return false;
    }
    if (n == 0) {
      SetError(error, "file became shorter while read: " + PathText(path_));
      return false;
    }
    p += n;
    offset += uint64_t(n);
    count -= size_t(n);
  }
  return true;
}

bool InputFile::CopyTo(ReplacingFile& out, uint64_t begin, uint64_t end, std::string* error) const {
  std::vector<char> chunk(size_t(std::min<uint64_t>(kCopyChunkBytes, end > begin ? end - begin : 0)));
  for (uint64_t at = begin; at < end;) {
    const size_t count = size_t(std::min<uint64_t>(chunk.size(), end - at));
    // The part of this piece that lies in the file; the rest reads as erased flash.
    const size_t inFile = at < size_ ? size_t(std::min<uint64_t>(count, size_ - at)) : 0;
    if (inFile > 0 && !ReadAt(at, chunk.data(), inFile, error)) return false;
    std::fill(chunk.begin() + std::ptrdiff_t(inFile), chunk.begin() + std::ptrdiff_t(count), '\xFF');
    if (!out.Append(chunk.data(), count, error)) return false;
    at += count;
  }
  return true;
}

}  // namespace ardentix

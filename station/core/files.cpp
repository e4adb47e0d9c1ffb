#include "core/files.h"

#include <atomic>
#include <charconv>
#include <system_error>

namespace ardentix {
namespace {

namespace fs = std::filesystem;

void SetError(std::string* error, std::string message) {
  if (error != nullptr) *error = std::move(message);
}

constexpr std::string_view kTemporaryMark = ".tmp-";

// Unique per process and call, so concurrent writers never share a temporary.
fs::path TemporaryBeside(const fs::path& path) {
  static std::atomic<unsigned> counter{0};
  fs::path tmp = path;
  tmp += std::string(kTemporaryMark) + std::to_string(Platform().ProcessId()) + "-" +
         std::to_string(counter.fetch_add(1));
  return tmp;
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (const char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

std::optional<std::string> ReadWholeFile(const fs::path& path, std::string* error, uint64_t maxSize) {
  PlatformFiles& os = Platform();
  std::string reason;
  uint64_t size = 0;
  const FileHandle file = os.OpenForReading(path, size, reason);
  if (file == kNoFile) {
    SetError(error, "cannot open " + PathText(path) + ": " + reason);
    return std::nullopt;
  }
  std::optional<std::string> text;
  if (size > maxSize) {
    SetError(error, PathText(path) + " is " + std::to_string(size) + " bytes, more than the " +
                        std::to_string(maxSize) + " it may have");
  } else {
    std::string bytes(size_t(size), '\0');
    uint64_t done = 0;
    while (done < size) {
      const int64_t n = os.ReadAt(file, done, bytes.data() + done, size_t(size - done), reason);
      if (n <= 0) {
        SetError(error, n < 0 ? "cannot read " + PathText(path) + ": " + reason
                              : "file became shorter while read: " + PathText(path));
        break;
      }
      done += uint64_t(n);
    }
    if (done == size) text = std::move(bytes);
  }
  os.Close(file, reason);
  return text;
}

std::optional<uint64_t> FileSize(const fs::path& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (ec) return std::nullopt;
  return uint64_t(size);
}

fs::path ResolveLinks(const fs::path& path) {
  fs::path p = path;
  // A loop of links is not followed for ever; the write then fails on it.
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(p, ec)) || ec) break;
    const fs::path to = fs::read_symlink(p, ec);
    if (ec) break;
    p = to.is_absolute() ? to : p.parent_path() / to;
  }
  return p;
}

bool ReplacingFile::Failed(std::string* error, const char* what, const fs::path& path, const std::string& reason) {
  SetError(error, std::string(what) + " " + PathText(path) + ": " + reason);
  Discard();
  return false;
}

bool ReplacingFile::Create(const fs::path& path, std::string* error) {
  Discard();
  target_ = ResolveLinks(path);
  temporary_ = TemporaryBeside(target_);
  std::string reason;
  file_ = Platform().CreateNew(temporary_, reason);
  written_ = 0;
  if (file_ == kNoFile) {
    SetError(error, "cannot create " + PathText(temporary_) + ": " + reason);
    temporary_.clear();
    return false;
  }
  return true;
}

bool ReplacingFile::Append(const void* data, size_t count, std::string* error) {
  if (file_ == kNoFile) {
    SetError(error, "no file is being written");
    return false;
  }
  std::string reason;
  if (count > 0 && !Platform().Write(file_, data, count, reason))
    return Failed(error, "cannot write", temporary_, reason);
  written_ += count;
  return true;
}

bool ReplacingFile::Skip(uint64_t count, std::string* error) {
  if (file_ == kNoFile) {
    SetError(error, "no file is being written");
    return false;
  }
  std::string reason;
  if (count > 0 && !Platform().SkipTo(file_, written_ + count, reason))
    return Failed(error, "cannot write", temporary_, reason);
  written_ += count;
  return true;
}

bool ReplacingFile::Commit(std::string* error) {
  if (file_ == kNoFile) {
    SetError(error, "no file is being written");
    return false;
  }
  PlatformFiles& os = Platform();
  std::string reason;
  os.KeepAccessOf(file_, target_);
  // On disk before the rename, so a crash right after cannot leave a short
  // file under the final name.
  if (!os.Flush(file_, reason)) return Failed(error, "cannot flush", temporary_, reason);
  const FileHandle file = file_;
  file_ = kNoFile;
  if (!os.Close(file, reason)) return Failed(error, "cannot flush", temporary_, reason);
  if (!os.Rename(temporary_, target_, reason)) return Failed(error, "cannot replace", target_, reason);
  temporary_.clear();
  os.SyncFolder(target_.parent_path());
  return true;
}

void ReplacingFile::Discard() {
  PlatformFiles& os = Platform();
  std::string ignored;
  if (file_ != kNoFile) os.Close(file_, ignored);
  file_ = kNoFile;
  if (!temporary_.empty()) os.Remove(temporary_, ignored);
  temporary_.clear();
}

bool WriteFileAtomically(const fs::path& path, std::string_view bytes, std::string* error) {
  ReplacingFile file;
  return file.Create(path, error) && file.Append(bytes, error) && file.Commit(error);
}

std::optional<uint64_t> TemporaryOwner(const fs::path& name) {
  const std::string text = PathText(name.filename());
  const size_t mark = text.rfind(kTemporaryMark);
  if (mark == std::string::npos || mark == 0) return std::nullopt;
  const std::string_view tail = std::string_view(text).substr(mark + kTemporaryMark.size());
  const size_t dash = tail.find('-');
  if (dash == std::string_view::npos || !AllDigits(tail.substr(0, dash)) || !AllDigits(tail.substr(dash + 1)))
    return std::nullopt;
  uint64_t pid = 0;
  const auto [end, ec] = std::from_chars(tail.data(), tail.data() + dash, pid);
  if (ec != std::errc() || end != tail.data() + dash) return std::nullopt;
  return pid;
}

void RemoveStaleTemporaries(const fs::path& folder) {
  PlatformFiles& os = Platform();
  const uint64_t self = os.ProcessId();
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::optional<uint64_t> owner = TemporaryOwner(it->path());
    if (!owner || *owner == self || os.ProcessRunning(*owner)) continue;
    std::error_code typeError;
    if (!it->is_regular_file(typeError)) continue;
    std::string ignored;
    os.Remove(it->path(), ignored);
  }
}

}  // namespace ardentix

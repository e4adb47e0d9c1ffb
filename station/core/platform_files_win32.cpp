// The station's file layer on Windows. Paths reach the W functions as the
// wide strings std::filesystem keeps them in; texts come back as UTF-8.
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "core/platform_files.h"

namespace ardentix {
namespace {

namespace fs = std::filesystem;

HANDLE H(FileHandle file) { return reinterpret_cast<HANDLE>(file); }
FileHandle F(HANDLE h) { return h == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(h); }

std::string Utf8(const wchar_t* text, int length) {
  if (length <= 0) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(size_t(n > 0 ? n : 0), '\0');
  if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
  return out;
}

// The system's text for an error code, in UTF-8, without the line end.
std::string SystemText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = n > 0 ? Utf8(text, int(n)) : "error " + std::to_string(code);
  if (text != nullptr) ::LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
    out.pop_back();
  return out;
}

bool Fail(std::string& error) {
  error = SystemText(::GetLastError());
  return false;
}

FileHandle FailHandle(std::string& error) {
  Fail(error);
  return kNoFile;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kMaxTransfer = DWORD(1) << 30;

class Win32Files final : public PlatformFiles {
 public:
  FileHandle OpenForReading(const fs::path& path, uint64_t& size, std::string& error) override {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      error = "not a regular file";
      return kNoFile;
    }
    const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return FailHandle(error);
    // Pipes, consoles and devices are not files to read a package from.
    LARGE_INTEGER length{};
    if (::GetFileType(h) != FILE_TYPE_DISK) {
      error = "not a regular file";
      ::CloseHandle(h);
      return kNoFile;
    }
    if (!::GetFileSizeEx(h, &length)) {
      Fail(error);
      ::CloseHandle(h);
      return kNoFile;
    }
    size = uint64_t(length.QuadPart);
    return F(h);
  }

  int64_t ReadAt(FileHandle file, uint64_t offset, void* into, size_t count, std::string& error) override {
    OVERLAPPED at{};
    at.Offset = DWORD(offset & 0xFFFFFFFFu);
    at.OffsetHigh = DWORD(offset >> 32);
    const DWORD chunk = count < kMaxTransfer ? DWORD(count) : kMaxTransfer;
    DWORD got = 0;
    if (!::ReadFile(H(file), into, chunk, &got, &at)) {
      if (::GetLastError() == ERROR_HANDLE_EOF) return 0;
      Fail(error);
      return -1;
    }
    return int64_t(got);
  }

  FileHandle CreateNew(const fs::path& path, std::string& error) override {
    // Not shared: nobody removes or reads a temporary while it is written.
    const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? FailHandle(error) : F(h);
  }

  bool SkipTo(FileHandle file, uint64_t offset, std::string& error) override {
    LARGE_INTEGER at;
    at.QuadPart = LONGLONG(offset);
    if (!::SetFilePointerEx(H(file), at, nullptr, FILE_BEGIN) || !::SetEndOfFile(H(file))) return Fail(error);
    return true;
  }

  bool Write(FileHandle file, const void* data, size_t count, std::string& error) override {
    const char* p = static_cast<const char*>(data);
    while (count > 0) {
      const DWORD chunk = count < kMaxTransfer ? DWORD(count) : kMaxTransfer;
      DWORD written = 0;
      if (!::WriteFile(H(file), p, chunk, &written, nullptr)) return Fail(error);
      if (written == 0) {
        ::SetLastError(ERROR_DISK_FULL);
        return Fail(error);
      }
      p += written;
      count -= written;
    }
    return true;
  }

  bool Flush(FileHandle file, std::string& error) override { return ::FlushFileBuffers(H(file)) || Fail(error); }

  void KeepAccessOf(FileHandle file, const fs::path& replaced) override {
    // The replaced file's attributes (hidden, archive...); the access rights
    // come from the folder, which both files share.
    const DWORD attributes = ::GetFileAttributesW(replaced.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    FILE_BASIC_INFO info{};
    if (!::GetFileInformationByHandleEx(H(file), FileBasicInfo, &info, sizeof info)) return;
    constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    info.FileAttributes = (attributes & kKept) != 0 ? (attributes & kKept) : FILE_ATTRIBUTE_NORMAL;
    ::SetFileInformationByHandle(H(file), FileBasicInfo, &info, sizeof info);
  }

  bool Close(FileHandle file, std::string& error) override { return ::CloseHandle(H(file)) || Fail(error); }

  bool Rename(const fs::path& from, const fs::path& to, std::string& error) override {
    // A file that someone has open (a reader of the settings, a virus
    // scanner, the indexer) cannot be replaced for that moment: the rename is
    // refused with "access denied" or a sharing violation. Such opens are
    // short, so the rename is tried again for a while before it fails.
    constexpr int kAttempts = 200;
    for (int attempt = 1;; ++attempt) {
      if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
      const DWORD code = ::GetLastError();
      if (attempt == kAttempts || (code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION)) return Fail(error);
      ::Sleep(attempt < 10 ? 0 : 1);
    }
  }

  bool Remove(const fs::path& path, std::string& error) override {
    if (::DeleteFileW(path.c_str())) return true;
    const DWORD code = ::GetLastError();
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || Fail(error);
  }

  void SyncFolder(const fs::path&) override {}  // the renames are written through

  FileHandle LockExclusive(const fs::path& lockFile, std::string& error) override {
    HANDLE h = ::CreateFileW(lockFile.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)  // someone else's lock file
      h = ::CreateFileW(lockFile.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
    if (h == INVALID_HANDLE_VALUE) return FailHandle(error);
    OVERLAPPED whole{};
    if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
      Fail(error);
      ::CloseHandle(h);
      return kNoFile;
    }
    return F(h);
  }

  uint64_t ProcessId() override { return ::GetCurrentProcessId(); }

  bool ProcessRunning(uint64_t id) override {
    if (id == 0 || id > 0xFFFFFFFFu) return false;
    const HANDLE h = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(id));
    if (h == nullptr) return ::GetLastError() != ERROR_INVALID_PARAMETER;  // denied: it exists
    const bool running = ::WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    ::CloseHandle(h);
    return running;
  }

  fs::path ProgramFolder() override {
    std::vector<wchar_t> name(MAX_PATH);
    for (;;) {
      const DWORD n = ::GetModuleFileNameW(nullptr, name.data(), DWORD(name.size()));
      if (n == 0) return {};
      if (n < name.size()) return fs::path(std::wstring(name.data(), n)).parent_path();
      name.resize(name.size() * 2);
    }
  }

  bool FolderWritable(const fs::path& folder) override {
    // Rights on Windows live in access lists: try it.
    const fs::path probe = folder / (L".ardentix-probe-" + std::to_wstring(::GetCurrentProcessId()));
    const HANDLE h = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(h);
    return true;
  }

  fs::path UserDataFolder() override {
    PWSTR local = nullptr;
    fs::path folder;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &local)) && local != nullptr)
      folder = fs::path(local) / L"ardentix";
    ::CoTaskMemFree(local);
    return folder;
  }
};

}  // namespace

PlatformFiles& OsPlatformFiles() {
  static Win32Files files;
  return files;
}

}  // namespace ardentix

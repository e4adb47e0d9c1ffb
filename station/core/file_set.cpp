#include "core/file_set.h"

#include <set>
#include <string_view>
#include <system_error>

namespace ardentix {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kJournalTitle = "ardentix file set";

enum class Stage { Staging, Commit, Rollback };

struct Entry {
  std::string name;     // file name inside the folder
  bool replace = true;  // else removed
  bool hadOld = false;  // the file existed before (known from "commit" on)
};

struct Journal {
  Stage stage = Stage::Staging;
  std::vector<Entry> entries;
};

void SetError(std::string* error, std::string message) {
  if (error != nullptr) *error = std::move(message);
}

const char* StageWord(Stage s) { return s == Stage::Staging ? "staging" : s == Stage::Commit ? "commit" : "rollback"; }

std::string Format(const Journal& j) {
  std::string text = std::string(kJournalTitle) + "\nstage " + StageWord(j.stage) + "\n";
  for (const Entry& e : j.entries)
    text += std::string(e.replace ? "replace " : "remove ") + (e.hadOld ? "old " : "none ") + e.name + "\n";
  return text;
}

// Only a plain name inside the folder: a journal never makes the station
// rename anything elsewhere.
bool PlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\:\r\n") == std::string_view::npos;
}

std::optional<Journal> Parse(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    if (nl == std::string_view::npos) return std::nullopt;  // written whole or not at all
    lines.push_back(text.substr(0, nl));
    text.remove_prefix(nl + 1);
  }
  if (lines.size() < 2 || lines[0] != kJournalTitle) return std::nullopt;
  Journal j;
  if (lines[1] == "stage staging") j.stage = Stage::Staging;
  else if (lines[1] == "stage commit") j.stage = Stage::Commit;
  else if (lines[1] == "stage rollback") j.stage = Stage::Rollback;
  else return std::nullopt;
  for (size_t i = 2; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    Entry e;
    if (line.substr(0, 8) == "replace ") line.remove_prefix(8);
    else if (line.substr(0, 7) == "remove ") e.replace = false, line.remove_prefix(7);
    else return std::nullopt;
    if (line.substr(0, 4) == "old ") e.hadOld = true, line.remove_prefix(4);
    else if (line.substr(0, 5) == "none ") line.remove_prefix(5);
    else return std::nullopt;
    if (!PlainName(line)) return std::nullopt;
    e.name = std::string(line);
    j.entries.push_back(std::move(e));
  }
  return j;
}

bool Exists(const fs::path& p) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(p, ec));
}

// "<folder>.lock" beside the folder, so that the folder holds only its files.
fs::path LockFileOf(const fs::path& folder) {
  fs::path f = folder;
  if (!f.has_filename()) f = f.parent_path();
  f += ".lock";
  return f;
}

class FolderLock {
 public:
  explicit FolderLock(const fs::path& folder) {
    const fs::path lockFile = LockFileOf(folder);
    std::string reason;
    handle_ = Platform().LockExclusive(lockFile, reason);
    if (handle_ == kNoFile) error_ = "cannot lock " + PathText(lockFile) + ": " + reason;
  }
  ~FolderLock() {
    std::string ignored;
    if (handle_ != kNoFile) Platform().Close(handle_, ignored);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  bool held() const { return handle_ != kNoFile; }
  const std::string& error() const { return error_; }

 private:
  FileHandle handle_ = kNoFile;
  std::string error_;
};

// The names of one folder's replacement.
struct Names {
  fs::path folder;
  fs::path Target(const Entry& e) const { return folder / PathFromText(e.name); }
  fs::path New(const Entry& e) const { return folder / PathFromText(e.name + ".new"); }
  fs::path Old(const Entry& e) const { return folder / PathFromText(e.name + ".old"); }
  fs::path Journal() const { return folder / kFileSetJournalName; }
};

bool WriteJournal(const Names& n, const Journal& j, std::string* error) {
  return WriteFileAtomically(n.Journal(), Format(j), error);
}

bool RemoveFile(const fs::path& p, std::string* error) {
  std::string reason;
  if (Platform().Remove(p, reason)) return true;
  SetError(error, "cannot remove " + PathText(p) + ": " + reason);
  return false;
}

bool RenameFile(const fs::path& from, const fs::path& to, std::string* error) {
  std::string reason;
  if (Platform().Rename(from, to, reason)) return true;
  SetError(error, "cannot rename " + PathText(from) + " to " + PathText(to) + ": " + reason);
  return false;
}

bool RemoveJournal(const Names& n, std::string* error) {
  const bool ok = RemoveFile(n.Journal(), error);
  Platform().SyncFolder(n.folder);
  return ok;
}

// "staging": the old set was never touched; only the new files go.
bool DiscardStaging(const Names& n, const Journal& j, std::string* error) {
  bool ok = true;
  for (const Entry& e : j.entries) ok = RemoveFile(n.New(e), error) && ok;
  return ok && RemoveJournal(n, error);
}

// "commit": every new file is complete, at "<file>.new" or already in place.
bool RollForward(const Names& n, const Journal& j, std::string* error) {
  for (const Entry& e : j.entries) {
    if (e.replace) {
      if (Exists(n.New(e)) && !RenameFile(n.New(e), n.Target(e), error)) return false;
    } else if (!RemoveFile(n.Target(e), error)) {
      return false;
    }
  }
  Platform().SyncFolder(n.folder);
  for (const Entry& e : j.entries)
    if (!RemoveFile(n.Old(e), error)) return false;
  return RemoveJournal(n, error);
}

// "rollback": each old file back in its place. Each new file goes back to
// "<file>.new" first, so that at every step both sets are still whole; while
// the journal still says "commit" (when "rollback" could not be written) the
// new files are removed only once it is gone, since until then the next
// start would complete the new set from them.
bool RollBack(const Names& n, const Journal& j, bool journalSaysRollback, std::string* error) {
  for (auto it = j.entries.rbegin(); it != j.entries.rend(); ++it) {
    const Entry& e = *it;
    // The new file is in place when its ".new" is gone: where an old file
    // was moved aside, or where there was none.
    const bool newInPlace =
        e.replace && !Exists(n.New(e)) && Exists(n.Target(e)) && (Exists(n.Old(e)) || !e.hadOld);
    if (newInPlace && !RenameFile(n.Target(e), n.New(e), error)) return false;
    // Without "<file>.old" the old file was never moved.
    if (e.hadOld && Exists(n.Old(e)) && !RenameFile(n.Old(e), n.Target(e), error)) return false;
  }
  Platform().SyncFolder(n.folder);
  if (!journalSaysRollback) {
    if (!RemoveJournal(n, error)) return false;
    for (const Entry& e : j.entries) RemoveFile(n.New(e), nullptr);
    return true;
  }
  for (const Entry& e : j.entries)
    if (!RemoveFile(n.New(e), error)) return false;
  return RemoveJournal(n, error);
}

// With the folder's lock held.
bool RecoverLocked(const Names& n, std::string* error) {
  if (!Exists(n.Journal())) return true;
  std::string why;
  const std::optional<std::string> text = ReadWholeFile(n.Journal(), &why);
  const std::optional<Journal> j = text ? Parse(*text) : std::nullopt;
  if (!j) {
    SetError(error, text ? PathText(n.Journal()) + " is damaged; the files beside it are left as they are"
                         : why);
    return false;
  }
  switch (j->stage) {
    case Stage::Staging: return DiscardStaging(n, *j, error);
    case Stage::Commit: return RollForward(n, *j, error);
    case Stage::Rollback: return RollBack(n, *j, true, error);
  }
  return false;
}

}  // namespace

bool RecoverFileSet(const fs::path& folder, std::string* error) {
  const Names n{folder};
  if (!Exists(n.Journal())) return true;
  FolderLock lock(folder);
  if (!lock.held()) {
    SetError(error, lock.error());
    return false;
  }
  return RecoverLocked(n, error);
}

bool ReplaceFilesTogether(const std::vector<FileChange>& changes, std::string* error) {
  if (changes.empty()) return true;
  const Names n{changes.front().target.parent_path()};
  Journal j;
  std::set<std::string> seen;
  for (const FileChange& c : changes) {
    const std::string name = PathText(c.target.filename());
    if (c.target.parent_path() != n.folder || !PlainName(name) || !seen.insert(name).second) {
      SetError(error, "cannot replace " + PathText(c.target) + " with the files of " + PathText(n.folder));
      return false;
    }
    // Only files are replaced: a folder in a file's place is refused before
    // anything is written, rather than moved aside.
    std::error_code ec;
    const fs::file_type type = fs::symlink_status(c.target, ec).type();
    if (type != fs::file_type::not_found && type != fs::file_type::regular && type != fs::file_type::symlink) {
      SetError(error, "cannot replace " + PathText(c.target) + ": it is not a file");
      return false;
    }
    j.entries.push_back(Entry{name, bool(c.write), false});
  }

  FolderLock lock(n.folder);
  if (!lock.held()) {
    SetError(error, lock.error());
    return false;
  }
  if (!RecoverLocked(n, error)) return false;

  // 1. The new files, each complete, beside the old ones.
  if (!WriteJournal(n, j, error)) return false;
  try {
    for (size_t i = 0; i < changes.size(); ++i) {
      if (!changes[i].write) continue;
      ReplacingFile out;
      if (!out.Create(n.New(j.entries[i]), error) || !changes[i].write(out, error) || !out.Commit(error)) {
        DiscardStaging(n, j, nullptr);
        return false;
      }
    }
  } catch (...) {
    DiscardStaging(n, j, nullptr);
    throw;
  }

  // 2. From here on the new set is decided.
  for (Entry& e : j.entries) e.hadOld = Exists(n.Target(e));
  j.stage = Stage::Commit;
  if (!WriteJournal(n, j, error)) {
    DiscardStaging(n, j, nullptr);
    return false;
  }
  bool applied = true;
  std::string failure;
  for (const Entry& e : j.entries) {
    if (e.hadOld && !RenameFile(n.Target(e), n.Old(e), &failure)) {
      applied = false;
      break;
    }
    if (e.replace && !RenameFile(n.New(e), n.Target(e), &failure)) {
      applied = false;
      break;
    }
  }
  Platform().SyncFolder(n.folder);

  if (applied) {
    // 3. The old files go; should one stay, so does the journal, and the
    // next recovery removes it.
    bool clean = true;
    for (const Entry& e : j.entries) clean = RemoveFile(n.Old(e), nullptr) && clean;
    if (clean) RemoveJournal(n, nullptr);
    return true;
  }
  j.stage = Stage::Rollback;
  const bool recorded = WriteJournal(n, j, nullptr);  // else "commit" stays on disk
  std::string undo;
  if (!RollBack(n, j, recorded, &undo)) {
    SetError(error, failure + "; putting the old files back failed too (" + undo +
                        "); the next start puts them right");
    return false;
  }
  SetError(error, failure);
  return false;
}

std::vector<std::string> RecoverInterruptedWrites(const fs::path& stationDir) {
  std::vector<fs::path> folders{stationDir};
  std::error_code ec;
  for (fs::directory_iterator it(stationDir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code typeError;
    // Linked folders may be anyone's; only the station's own are looked into.
    if (it->symlink_status(typeError).type() == fs::file_type::directory) folders.push_back(it->path());
  }
  std::vector<std::string> problems;
  for (const fs::path& folder : folders) {
    std::string error;
    if (!RecoverFileSet(folder, &error)) problems.push_back(error);
    RemoveStaleTemporaries(folder);
  }
  return problems;
}

}  // namespace ardentix

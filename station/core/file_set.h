// Files that belong together (the section files of one package) replaced
// all or none, with nothing but renames: no hard links, so it holds on
// every file system the station folder may live on, FAT included.
//
// A lock file beside the folder ("BurnFile.lock" for "BurnFile") keeps two
// replacements apart, and "replace.journal" in the folder exists while one
// is under way:
//   1. journal "staging"; each new file is written in full as "<file>.new";
//   2. journal "commit", noting which files existed; then each old file is
//      renamed to "<file>.old" and its ".new" renamed into its place;
//   3. the ".old" files and the journal are removed.
// A failure in step 2 sets the journal to "rollback" and puts the old files
// back. A crash leaves the journal behind, and the next start (or the next
// replacement) finishes the work: "staging" and "rollback" end with the old
// set, "commit" with the new one.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/files.h"

namespace ardentix {

inline constexpr const char* kFileSetJournalName = "replace.journal";

struct FileChange {
  std::filesystem::path target;
  // Writes the new content; empty: the file is removed with the others.
  std::function<bool(ReplacingFile& out, std::string* error)> write;
};

// All targets must lie in one folder, which must exist. True when the new
// set is in place; false, with `error`, when the old set is (or, should even
// putting it back fail, when the next start will put the files right).
bool ReplaceFilesTogether(const std::vector<FileChange>& changes, std::string* error = nullptr);

// Finishes a replacement that a crash interrupted in `folder` (nothing to do
// without a journal). Waits for a replacement under way in another process.
// False, with `error`, when the journal cannot be read or acted on; the
// files are then left as they are.
bool RecoverFileSet(const std::filesystem::path& folder, std::string* error = nullptr);

// What the station does at start in its folder and in each folder directly
// inside it: finish interrupted replacements and remove temporaries of
// processes that no longer run. Returns what could not be put right, one
// text per problem.
std::vector<std::string> RecoverInterruptedWrites(const std::filesystem::path& stationDir);

}  // namespace ardentix

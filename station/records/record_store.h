#pragma once
// The station's own record file, records.sqlite in the station folder: one
// row per finished unit, written by the record writer, read by `records`,
// and the outbox of the line sender (a `sent` mark per row).
//
// One RecordStore may be used from several threads (the writer, the line
// sender, a reader): calls are serialised inside. Other processes may open
// the same file at once (WAL); a busy file is waited for a few seconds.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "records/record.h"

struct sqlite3;

namespace ardentix::records {

// The file name inside the station folder.
inline constexpr const char* kRecordFileName = "records.sqlite";

class RecordStore final : public RecordSource, public RecordOutbox {
 public:
  // The layout this build writes. Older files are migrated on open; a file
  // written by a newer layout is refused (never altered). A new field is not
  // a new layout: its column is added to the file on open.
  static constexpr int kSchemaVersion = 2;

  // Opens the file, creating it when missing, in WAL mode with full sync.
  // Null with a message for the operator when it cannot be opened,
  // migrated, or is of a newer layout.
  static std::unique_ptr<RecordStore> Open(const std::filesystem::path& file, std::string& error);
  // For the records command: like Open, but a file that is not there is an
  // error instead of being created.
  static std::unique_ptr<RecordStore> OpenForReading(const std::filesystem::path& file, std::string& error);
  ~RecordStore() override;
  RecordStore(const RecordStore&) = delete;
  RecordStore& operator=(const RecordStore&) = delete;

  // Writes the records in one transaction: all are committed (durably) or
  // none. Before writing, each record's DuplicateSerial is set when its
  // serial already passed on another location (in the file, or earlier in
  // the same batch). A record whose Id is already stored is left as stored
  // (a retry after an unclear failure writes nothing twice).
  bool Add(std::vector<UnitRecord>& records, std::string& error);

  // Whether `serial` has a passed record on a location other than
  // `location`. An empty serial is never a duplicate.
  bool PassedElsewhere(const std::string& serial, const std::string& location, bool& found, std::string& error);

  // RecordSource: in start order (then write order).
  bool Find(const RecordFilter& filter, std::vector<UnitRecord>& out, std::string& error) override;
  // RecordOutbox: oldest unsent first, in write order.
  bool Unsent(size_t limit, std::vector<UnitRecord>& out, std::string& error) override;
  bool MarkSent(const std::vector<std::string>& ids, std::string& error) override;

  // The layout version of the open file (kSchemaVersion after Open).
  int SchemaVersion() const { return version_; }

 private:
  RecordStore(sqlite3* db, int version) : db_(db), version_(version) {}
  static std::unique_ptr<RecordStore> OpenFile(const std::filesystem::path& file, bool create, std::string& error);
  bool PassedElsewhereLocked(const std::string& serial, const std::string& location, bool& found, std::string& error);

  std::mutex mutex_;
  sqlite3* db_;
  int version_;
};

}  // namespace ardentix::records

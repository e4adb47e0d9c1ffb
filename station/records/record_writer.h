#pragma once
// Writes finished units' records to the store on a thread of its own, so a
// burn worker hands its record over and goes on at once, whatever the disk
// does. A record whose write failed stays queued and is tried again with the
// next write and at every Flush; nothing is dropped while the process runs.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "records/record.h"

namespace ardentix::records {

class RecordStore;

class RecordWriter {
 public:
  // Called on the writer thread after each batch: the records just
  // committed (DuplicateSerial filled in), or a failure and how many
  // records wait for a retry.
  struct Events {
    std::function<void(const std::vector<UnitRecord>&)> Committed;
    std::function<void(const std::string& error, size_t waiting)> Failed;
  };

  // `store` may be null (the file could not be opened): every record then
  // waits, and Failed is reported, until SetStore gives one.
  RecordWriter(RecordStore* store, Events events);
  ~RecordWriter();  // writes what it can, then stops
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  void SetStore(RecordStore* store);
  // From any thread; never waits for the disk.
  void Submit(UnitRecord record);
  // Tries every waiting record again now and waits until the attempt ended.
  // True when nothing waits any more. Blocks the caller: the window calls it
  // from a background step, never from its own thread.
  bool Flush();
  // Records handed over and not yet committed.
  size_t Waiting() const;

 private:
  void Run();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  RecordStore* store_;
  Events events_;
  std::deque<UnitRecord> queue_;
  uint64_t flushRequested_ = 0;
  uint64_t flushDone_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace ardentix::records

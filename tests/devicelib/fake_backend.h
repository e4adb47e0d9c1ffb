// A backend that records what would be sent and answers from a script.
#pragma once

#include <cstring>
#include <vector>

#include "transport.h"

namespace qmr::testing {

struct SentCommand {
  std::vector<uint8_t> cdb;
  DataDirection direction;
  uint32_t length;
  uint8_t* buffer;
  uint32_t timeoutMs;
  std::vector<uint8_t> outData;  // copy of a data-out payload
};

class RecordingBackend final : public Backend {
 public:
  explicit RecordingBackend(std::vector<SentCommand>* log) : log_(log) {}
  std::vector<uint8_t> answer;  // copied into a data-in buffer
  bool succeed = true;
  bool timedOut = false;  // what TimedOut says after a failure
  bool TimedOut() const override { return timedOut; }

  bool Execute(const ScsiRequest& r) override {
    SentCommand c{std::vector<uint8_t>(r.cdb, r.cdb + 16), r.direction, r.length, r.buffer, r.timeoutMs, {}};
    if (r.direction == DataDirection::Out) c.outData.assign(r.buffer, r.buffer + r.length);
    if (r.direction == DataDirection::In && !answer.empty())
      std::memcpy(r.buffer, answer.data(), std::min<size_t>(answer.size(), r.length));
    log_->push_back(std::move(c));
    return succeed;
  }

 private:
  std::vector<SentCommand>* log_;
};

}  // namespace qmr::testing

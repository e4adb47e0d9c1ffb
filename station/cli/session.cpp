#include "cli/session.h"

#include <atomic>
#include <ostream>

namespace ardentix::cli {
namespace {

std::atomic<bool> stopRequested{false};

}  // namespace

void RequestStop() { stopRequested = true; }
bool StopRequested() { return stopRequested.load(); }

void PrintedMessages::ShowMessage(const std::string& text, const std::string& caption) {
  shown.push_back(text);
  err_ << caption << ": " << text << "\n";
}

bool PrintedMessages::AskOkCancel(const std::string& text, const std::string& caption) {
  ShowMessage(text, caption);
  return true;
}

Session::Session(Context& ctx)
    : clock_(ctx.clock ? ctx.clock : &systemClock_),
      loop_(*clock_),
      host_(MakeHost()),
      messages_(ctx.err),
      station_(std::make_unique<Station>(loop_, *clock_, *host_, messages_, ctx.stationDir)) {}

Session::~Session() {
  host_->StopWatching();
  station_.reset();
}

void Session::Start() {
  host_->SetVolumeListener([this](bool arrived, uint32_t mask) {
    loop_.Post([this, arrived, mask] { station_->OnVolumeChange(arrived, mask); });
  });
  host_->StartWatching();
  station_->Initialise();
}

void Session::RunUntil(const std::function<bool()>& done, int64_t limitMs) {
  const int64_t end = limitMs < 0 ? -1 : clock_->NowMs() + limitMs;
  loop_.Run([&] {
    if (StopRequested()) return true;
    if (end >= 0 && clock_->NowMs() >= end) return true;
    return done && done();
  });
}

std::string DeviceLine(Station& station, int position) {
  const StatusRow& row = station.rows().Row(position);
  const char letter = station.slots().GetListedLetter(position);
  const auto entry = station.slots().GetDeviceEntry(position);
  const IdentifiedDrive drive = station.Identified(letter);
  std::string line = row[0] + "\t" + row[1] + "\t" + row[2] + "\t" + row[3];
  line += "\t" + drive.flashIdText + "\t" + std::to_string(entry ? entry->spiClockMHz : 0) + "\t" +
          (drive.deviceNode.empty() ? "-" : drive.deviceNode);
  return line;
}

}  // namespace ardentix::cli

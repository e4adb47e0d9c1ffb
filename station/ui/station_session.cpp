#include "ui/station_session.h"

#if ARDENTIX_HAVE_RECORDS
#include "records/records_settings.h"
#endif

namespace ardentix::ui {

StationSession::StationSession(std::filesystem::path stationDir, std::unique_ptr<Clock> clock,
                               std::unique_ptr<Host> host, MessageSink& messages)
    : clock_(std::move(clock)),
      host_(std::move(host)),
      station_(dispatcher_, *clock_, *host_, messages, std::move(stationDir)),
#if ARDENTIX_HAVE_RECORDS
      recorder_(station_, station_.stationDir() / records::kRecordFileName,
                records::RecordStationName(records::LoadRecordsSettings(station_.stationDir()).Station, *host_)),
#endif
      engine_(station_) {
#if ARDENTIX_HAVE_RECORDS
  engine_.SetRunObserver(&recorder_);
  recorder_.SendToLine(records::LoadRecordsSettings(station_.stationDir()).Url);
#endif
  // The host calls from its own thread; the station hears it on the window's.
  host_->SetVolumeListener([this](bool arrived, uint32_t mask) {
    dispatcher_.Post([this, arrived, mask] { station_.OnVolumeChange(arrived, mask); });
  });
}

StationSession::~StationSession() {
  host_->StopWatching();
  host_->SetVolumeListener(nullptr);
  engine_.WaitForWorkers();
}

void StationSession::StartWatching() { host_->StartWatching(); }

}  // namespace ardentix::ui

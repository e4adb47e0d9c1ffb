#include "records/line_db.h"
#include "records/line_source.h"

namespace ardentix::records {
namespace {

// Connects on each Find: `records --from` asks once, and a connection kept
// open would only go stale between the window's occasional looks.
class LineSource final : public RecordSource {
 public:
  explicit LineSource(std::string url) : url_(std::move(url)) {}

  bool Find(const RecordFilter& filter, std::vector<UnitRecord>& out, std::string& error) override {
    // A whole line's history may take a while to select.
    LineDbOptions options;
    options.StatementTimeoutMs = 60000;
    auto db = LineDb::Connect(url_, error, options);
    return db && db->Find(filter, out, error);
  }

 private:
  std::string url_;
};

}  // namespace

std::unique_ptr<RecordSource> MakeLineSource(const std::string& url, std::string& error) {
  if (!CheckLineUrl(url, error)) return nullptr;
  return std::make_unique<LineSource>(url);
}

}  // namespace ardentix::records

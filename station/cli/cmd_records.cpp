// records: the production records of this station (or of the line), and
// their figures.
#include <ostream>

#include "cli/cli.h"
#include "cli/run_records.h"
#include "records/burn_recorder.h"
#include "records/records_settings.h"
#include "core/platform_files.h"
#include "records/line_address.h"
#include "records/line_schema.h"
#include "records/line_source.h"
#include "records/record_format.h"
#include "records/record_store.h"
#include "records/stats.h"

namespace ardentix::cli {
namespace {

constexpr const char* kUsage =
    "usage: ardentix-cli records [stats] [--since T] [--until T] [--serial S] [--outcome passed|failed]\n"
    "                            [--station N] [--format table|csv|json] [--from ADDRESS|SERVICE]\n"
    "       ardentix-cli records line-setup [--role NAME]\n"
    "  T is a UTC time: YYYY-MM-DD[THH[:MM[:SS[.fff]]]][Z]; --since includes it, --until does not\n"
    "  line-setup prints the SQL that makes the line's table and a role that may only add and read records";

// records line-setup [--role NAME]: the administrator's SQL.
int LineSetupCommand(const Args& args, Context& ctx) {
  std::string role = records::kLineStationRole;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--role" && i + 1 < args.size()) {
      role = args[++i];
    } else {
      ctx.err << "ardentix-cli records: unexpected argument \"" << args[i] << "\"\n" << kUsage << "\n";
      return kExitUsage;
    }
  }
  if (!records::IsPlainRoleName(role)) {
    ctx.err << "ardentix-cli records: --role takes a lower-case name of letters, digits and _, not \"" << role
            << "\"\n";
    return kExitUsage;
  }
  ctx.out << records::LineSetupSql(role);
  return kExitOk;
}

struct RecordsOptions {
  bool stats = false;
  records::RecordFilter filter;
  std::string format = "table";
  std::string from;
};

bool Parse(const Args& args, RecordsOptions& o, std::string& problem) {
  size_t i = 0;
  if (!args.empty() && args[0] == "stats") {
    o.stats = true;
    i = 1;
  }
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        problem = a + " needs a value";
        return false;
      }
      into = args[++i];
      return true;
    };
    std::string v;
    if (a == "--since" || a == "--until") {
      if (!value(v)) return false;
      std::string& bound = a == "--since" ? o.filter.SinceUtc : o.filter.UntilUtc;
      if (!records::NormaliseTimeBound(v, bound)) {
        problem = a + " takes a UTC time such as 2026-12-10 or 2026-12-10T14:30, not \"" + v + "\"";
        return false;
      }
    } else if (a == "--serial") {
      if (!value(o.filter.Serial)) return false;
    } else if (a == "--station") {
      if (!value(o.filter.Station)) return false;
    } else if (a == "--outcome") {
      if (!value(o.filter.Outcome)) return false;
      if (o.filter.Outcome != "passed" && o.filter.Outcome != "failed") {
        problem = "--outcome is passed or failed, not \"" + o.filter.Outcome + "\"";
        return false;
      }
    } else if (a == "--format") {
      if (!value(o.format)) return false;
      if (o.format != "table" && o.format != "csv" && o.format != "json") {
        problem = "--format is table, csv or json, not \"" + o.format + "\"";
        return false;
      }
    } else if (a == "--from") {
      if (!value(o.from)) return false;
    } else {
      problem = "unexpected argument \"" + a + "\"";
      return false;
    }
  }
  return true;
}

class StationRecords final : public RunRecords {
 public:
  StationRecords(Station& station, const std::filesystem::path& stationDir, const std::string& stationName)
      : file_(stationDir / records::kRecordFileName), recorder_(station, file_, stationName) {}
  RunObserver* observer() override { return &recorder_; }
  std::string Summary() override {
    const auto tally = recorder_.tally();
    return "Records: " + PathText(file_) + " (" + std::to_string(tally.Passed + tally.Failed) + " written, " +
           std::to_string(recorder_.writer().Waiting()) + " waiting" +
           (tally.Duplicates ? ", " + std::to_string(tally.Duplicates) + " duplicate serial(s)" : "") + ")";
  }
  records::BurnRecorder& recorder() { return recorder_; }

 private:
  std::filesystem::path file_;
  records::BurnRecorder recorder_;
};

}  // namespace

std::unique_ptr<RunRecords> StartRunRecords(Station& station, Context& ctx) {
  std::string problem;
  const records::RecordsSettings settings = records::LoadRecordsSettings(ctx.stationDir, &problem);
  if (!problem.empty()) ctx.err << "ardentix-cli: " << problem << "\n";
  auto made = std::make_unique<StationRecords>(station, ctx.stationDir,
                                               records::RecordStationName(settings.Station, station.host()));
  made->recorder().SendToLine(settings.Url);
  return made;
}

int RecordsCommand(const Args& args, Context& ctx) {
  if (!args.empty() && args[0] == "line-setup") return LineSetupCommand(args, ctx);
  RecordsOptions options;
  std::string problem;
  if (!Parse(args, options, problem)) {
    ctx.err << "ardentix-cli records: " << problem << "\n" << kUsage << "\n";
    return kExitUsage;
  }
  std::unique_ptr<records::RecordSource> source;
  std::string error;
  if (!options.from.empty()) {
    if (records::LineAddressHasPassword(options.from))
      ctx.err << "ardentix-cli records: warning: a password on the command line can be read by every user of this "
                 "computer; keep it in the password file (~/.pgpass) and name a service (--from SERVICE)\n";
    source = records::MakeLineSource(options.from, error);
  } else {
    const auto file = ctx.stationDir / records::kRecordFileName;
    source = records::RecordStore::OpenForReading(file, error);
    if (!source && !std::filesystem::exists(file))
      error = "this station has no records yet (" + PathText(file) + " does not exist)";
  }
  if (!source) {
    ctx.err << "ardentix-cli records: " << error << "\n";
    return kExitFailed;
  }
  std::vector<records::UnitRecord> found;
  if (!source->Find(options.filter, found, error)) {
    ctx.err << "ardentix-cli records: " << error << "\n";
    return kExitFailed;
  }
  if (options.stats) {
    const records::RecordStats stats = records::ComputeStats(found);
    ctx.out << (options.format == "json"  ? records::StatsJson(stats)
                : options.format == "csv" ? records::StatsCsv(stats)
                                          : records::StatsTable(stats));
  } else {
    ctx.out << (options.format == "json"  ? records::RecordsJson(found)
                : options.format == "csv" ? records::RecordsCsv(found)
                                          : records::RecordsTable(found));
  }
  return kExitOk;
}

}  // namespace ardentix::cli

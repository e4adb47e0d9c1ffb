// catalogue: list, add and remove rows of the SPI flash catalogue.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iomanip>
#include <ostream>
#include <string>

#include "catalogue/spi_catalogue.h"
#include "cli/cli.h"
#include "core/platform_files.h"

namespace ardentix::cli {
namespace {

constexpr const char* kUsage =
    "usage: ardentix-cli catalogue list\n"
    "       ardentix-cli catalogue add ID TYPE SIZE_KB FREQ_MHZ [REMARK]\n"
    "       ardentix-cli catalogue remove ID\n";

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return s;
}

// A flash id text is eight hex digits; anything else never matches a chip.
bool IsFlashId(const std::string& s) {
  return s.size() == 8 && std::all_of(s.begin(), s.end(), [](char c) { return std::isxdigit((unsigned char)c); });
}

// A positive whole number that fits the 32-bit fields the burn reads.
bool IsPositiveNumber(const std::string& s) {
  if (s.empty() || s.size() > 10 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  const long long v = std::stoll(s);
  return v > 0 && v <= 2147483647;
}

int Usage(Context& ctx, const std::string& problem) {
  if (!problem.empty()) ctx.err << "ardentix-cli catalogue: " << problem << "\n";
  ctx.err << kUsage;
  return kExitUsage;
}

int List(SpiCatalogue& catalogue, Context& ctx) {
  const auto entries = catalogue.Entries();
  ctx.out << std::left << std::setw(5) << "No" << std::setw(10) << "Id" << std::setw(16) << "Type" << std::setw(10)
          << "Size KB" << std::setw(10) << "Freq MHz"
          << "Remark\n";
  for (const SpiCatalogueEntry& e : entries)
    ctx.out << std::setw(5) << e.No << std::setw(10) << e.Id << std::setw(16) << e.SpiType << std::setw(10)
            << e.LenKBytes << std::setw(10) << e.FreqMHz << e.Remark << "\n";
  ctx.out << entries.size() << (entries.size() == 1 ? " chip" : " chips") << " in " << PathText(catalogue.Path())
          << "\n";
  return kExitOk;
}

int Add(const Args& args, SpiCatalogue& catalogue, Context& ctx) {
  if (args.size() < 5 || args.size() > 6) return Usage(ctx, "add takes ID TYPE SIZE_KB FREQ_MHZ [REMARK]");
  for (size_t i = 1; i < args.size(); ++i)
    if (args[i].find_first_of("\t\r\n") != std::string::npos)
      return Usage(ctx, "\"" + args[i] + "\" holds a tab or line break, which the catalogue file cannot store");
  const std::string id = Upper(args[1]);
  if (!IsFlashId(id)) return Usage(ctx, "ID \"" + args[1] + "\" is not a flash id of eight hex digits (e.g. 001840EF)");
  if (args[2].empty()) return Usage(ctx, "TYPE must not be empty");
  if (!IsPositiveNumber(args[3])) return Usage(ctx, "SIZE_KB \"" + args[3] + "\" is not a positive whole number");
  if (!IsPositiveNumber(args[4])) return Usage(ctx, "FREQ_MHZ \"" + args[4] + "\" is not a positive whole number");

  if (catalogue.FindById(id)) {
    ctx.err << "ardentix-cli catalogue: " << id << " is already in " << PathText(catalogue.Path())
            << "; remove it first to change it\n";
    return kExitFailed;
  }
  SpiCatalogueEntry e;
  e.No = std::to_string(catalogue.Count() + 1);
  e.SpiType = args[2];
  e.Id = id;
  e.LenKBytes = args[3];
  e.FreqMHz = args[4];
  e.Remark = args.size() > 5 ? args[5] : "";
  catalogue.Add(e);
  std::string error;
  if (!catalogue.Save(&error)) {
    ctx.err << "ardentix-cli catalogue: " << error << "\n";
    return kExitFailed;
  }
  ctx.out << "added " << id << " " << e.SpiType << " as row " << catalogue.Count() << "\n";
  return kExitOk;
}

int Remove(const Args& args, SpiCatalogue& catalogue, Context& ctx) {
  if (args.size() != 2) return Usage(ctx, "remove takes one ID");
  const std::string id = Upper(args[1]);
  // Every row of that id goes: a later duplicate would otherwise take over.
  size_t removed = 0;
  const auto entries = catalogue.Entries();
  for (size_t i = entries.size(); i-- > 0;) {
    if (Upper(entries[i].Id) == id) {
      catalogue.RemoveAt(i);
      ++removed;
    }
  }
  if (removed == 0) {
    ctx.err << "ardentix-cli catalogue: " << id << " is not in " << PathText(catalogue.Path()) << "\n";
    return kExitFailed;
  }
  std::string error;
  if (!catalogue.Save(&error)) {
    ctx.err << "ardentix-cli catalogue: " << error << "\n";
    return kExitFailed;
  }
  ctx.out << "removed " << id << (removed > 1 ? " (" + std::to_string(removed) + " rows)" : std::string()) << "\n";
  return kExitOk;
}

}  // namespace

int CatalogueCommand(const Args& args, Context& ctx) {
  if (args.empty()) return Usage(ctx, "");
  const std::string& verb = args[0];
  if (verb != "list" && verb != "add" && verb != "remove") return Usage(ctx, "unknown subcommand \"" + verb + "\"");
  SpiCatalogue catalogue(CataloguePath(ctx.stationDir));
  // A missing file is an empty catalogue; an unreadable one must not be
  // overwritten by an add or remove.
  std::string why;
  if (catalogue.Load(&why) == SpiCatalogue::LoadResult::Unreadable) {
    ctx.err << "ardentix-cli catalogue: cannot read " << PathText(catalogue.Path()) << " (" << why << ")\n";
    return kExitFailed;
  }
  if (verb == "list") {
    if (args.size() != 1) return Usage(ctx, "list takes no arguments");
    return List(catalogue, ctx);
  }
  if (verb == "add") return Add(args, catalogue, ctx);
  return Remove(args, catalogue, ctx);
}

}  // namespace ardentix::cli

#include "catalogue/spi_catalogue.h"

#include <cstdio>
#include <exception>

#include "core/files.h"
#include "core/profile.h"

namespace ardentix {
namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

bool UpperEquals(std::string_view stored, std::string_view id) {
  if (stored.size() != id.size()) return false;
  for (size_t i = 0; i < stored.size(); ++i)
    if (Upper(stored[i]) != id[i]) return false;  // only the stored id is folded
  return true;
}


SpiCatalogueEntry ParseRow(std::string_view line) {
  SpiCatalogueEntry e;
  std::string* fields[] = {&e.No, &e.SpiType, &e.Id, &e.LenKBytes, &e.Remark, &e.FreqMHz};
  size_t field = 0;
  while (field < std::size(fields)) {
    const size_t tab = line.find('\t');
    *fields[field++] = std::string(line.substr(0, tab));
    if (tab == std::string_view::npos) break;
    line.remove_prefix(tab + 1);
  }
  return e;
}

}  // namespace

std::string FlashIdText(const unsigned char answer[4]) {
  char text[9];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X", 0u, unsigned(answer[3]), unsigned(answer[2]),
                unsigned(answer[1]));
  return text;
}

std::filesystem::path CataloguePath(const std::filesystem::path& stationDir) {
  return stationDir / kCatalogueFileName;
}

std::vector<SpiCatalogueEntry> SpiCatalogue::Parse(std::string_view text) {
  std::vector<SpiCatalogueEntry> rows;
  bool header = true;
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // The first line is the header; its count is not trusted, the rows are.
    if (header) {
      header = false;
      continue;
    }
    rows.push_back(ParseRow(line));
  }
  return rows;
}

std::string SpiCatalogue::Format(const std::vector<SpiCatalogueEntry>& entries) {
  std::string out = "Spi Count = " + std::to_string(entries.size()) + " \r\n";
  size_t row = 0;
  for (const SpiCatalogueEntry& e : entries) {
    out += std::to_string(++row);
    for (const std::string* f : {&e.SpiType, &e.Id, &e.LenKBytes, &e.Remark, &e.FreqMHz}) {
      out += '\t';
      out += *f;
    }
    out += "\r\n";
  }
  return out;
}

std::shared_ptr<const SpiCatalogue::List> SpiCatalogue::Snapshot() const {
  std::lock_guard lock(mutex_);
  return list_;
}

void SpiCatalogue::Publish(List list) {
  auto fresh = std::make_shared<const List>(std::move(list));
  std::lock_guard lock(mutex_);
  list_ = std::move(fresh);
}

void SpiCatalogue::SetPath(std::filesystem::path file) {
  std::lock_guard lock(mutex_);
  file_ = std::move(file);
}

std::filesystem::path SpiCatalogue::Path() const {
  std::lock_guard lock(mutex_);
  return file_;
}

SpiCatalogue::LoadResult SpiCatalogue::Load(std::string* error) {
  const std::filesystem::path file = Path();
  std::error_code ec;
  if (std::filesystem::status(file, ec).type() == std::filesystem::file_type::not_found) {
    Publish({});
    return LoadResult::Missing;
  }
  std::string why;
  try {
    if (const std::optional<std::string> text = ReadWholeFile(file, &why, kMaxTextFileSize)) {
      Publish(Parse(*text));
      return LoadResult::Loaded;
    }
  } catch (const std::exception& e) {  // no memory for the rows
    why = "cannot read " + PathText(file) + ": " + e.what();
  }
  if (error != nullptr) *error = why;
  return LoadResult::Unreadable;
}

bool SpiCatalogue::Save(std::string* error) const {
  const std::filesystem::path file = Path();
  if (file.empty()) {
    if (error != nullptr) *error = "no catalogue file name set";
    return false;
  }
  const std::shared_ptr<const List> list = Snapshot();
  for (const SpiCatalogueEntry& e : *list) {
    for (const std::string* f : {&e.SpiType, &e.Id, &e.LenKBytes, &e.Remark, &e.FreqMHz}) {
      // A tab or line break would shift or split the row on reading.
      if (f->find_first_of("\t\n") != std::string::npos) {
        if (error != nullptr) *error = "catalogue field \"" + *f + "\" holds a tab or line break";
        return false;
      }
    }
  }
  return WriteFileAtomically(file, Format(*list), error);
}

std::optional<SpiCatalogueEntry> SpiCatalogue::FindById(std::string_view id) const {
  const std::shared_ptr<const List> list = Snapshot();
  for (const SpiCatalogueEntry& e : *list)
    if (UpperEquals(e.Id, id)) return e;
  return std::nullopt;
}

int32_t SpiCatalogue::FrequencyForId(std::string_view id) const {
  const std::optional<SpiCatalogueEntry> e = FindById(id);
  return e ? ParseLeadingInt(e->FreqMHz) : kUnknownChipFrequencyMHz;
}

void SpiCatalogue::Clear() { Publish({}); }

size_t SpiCatalogue::Count() const { return Snapshot()->size(); }

std::vector<SpiCatalogueEntry> SpiCatalogue::Entries() const { return *Snapshot(); }

void SpiCatalogue::Add(SpiCatalogueEntry entry) {
  std::lock_guard lock(mutex_);
  List list = *list_;
  list.push_back(std::move(entry));
  list_ = std::make_shared<const List>(std::move(list));
}

bool SpiCatalogue::RemoveAt(size_t index) {
  std::lock_guard lock(mutex_);
  if (index >= list_->size()) return false;
  List list = *list_;
  list.erase(list.begin() + std::ptrdiff_t(index));
  list_ = std::make_shared<const List>(std::move(list));
  return true;
}

void SpiCatalogue::Rebuild(std::vector<SpiCatalogueEntry> rows) {
  for (size_t i = 0; i < rows.size(); ++i) rows[i].No = std::to_string(i);
  Publish(std::move(rows));
}

}  // namespace ardentix

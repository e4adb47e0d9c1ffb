// The catalogue of SPI flash chips the station may burn, kept in the
// tab-separated text file "SpiList.ini" in the station folder:
//   "Spi Count = N \r\n", then one "row\tType\tId\tSizeKB\tRemark\tFreqMHz\r\n"
//   per chip. The first line is always taken as the header, whatever it says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ardentix {

inline constexpr const char* kCatalogueFileName = "SpiList.ini";
// What FrequencyForId gives for a chip the catalogue does not know; below the
// 48 MHz a flash burn needs, so unknown chips are refused.
inline constexpr int32_t kUnknownChipFrequencyMHz = 12;

// One row: six texts in file column order. Numbers are converted only when
// looked up (ParseLeadingInt: a text that is not a number counts as 0).
struct SpiCatalogueEntry {
  std::string No;         // row number text; never written, rows are renumbered on saving
  std::string SpiType;    // chip type name
  std::string Id;         // FlashIdText of the chip, the key
  std::string LenKBytes;  // size in KB
  std::string Remark;
  std::string FreqMHz;  // highest SPI clock

  bool operator==(const SpiCatalogueEntry&) const = default;
};

// "%02X%02X%02X%02X" of 0, answer[3], answer[2], answer[1]: how a flash id
// answer names its chip (answer[0] is not part of it).
std::string FlashIdText(const unsigned char answer[4]);

std::filesystem::path CataloguePath(const std::filesystem::path& stationDir);

// Thread safety: copy-on-write. The entries live in an immutable snapshot
// behind a shared pointer; every change (on the UI thread) builds a new list
// and swaps the pointer under a short mutex. Burn workers calling FindById or
// FrequencyForId take the current snapshot and search it without holding
// anything, so they never see a half-rebuilt list and never wait for a
// Load or Save to finish its file I/O.
class SpiCatalogue {
 public:
  SpiCatalogue() = default;
  explicit SpiCatalogue(std::filesystem::path file) : file_(std::move(file)) {}
  SpiCatalogue(const SpiCatalogue&) = delete;
  SpiCatalogue& operator=(const SpiCatalogue&) = delete;

  void SetPath(std::filesystem::path file);
  std::filesystem::path Path() const;

  enum class LoadResult {
    Loaded,      // the entries are the file's rows
    Missing,     // no file: the catalogue is empty (saving creates the file)
    Unreadable,  // the file is there but cannot be read (rights, I/O, not a
                 // regular file): the entries stay as they were, and the file
                 // must not be written over, since its rows are unknown
  };
  // Replaces the entries with the file's rows; `error` says why when Unreadable.
  LoadResult Load(std::string* error = nullptr);

  // Writes the entries, replacing the file atomically: a failed save leaves
  // the old file. False, with `error`, when nothing was written, also when a
  // written field holds a tab or line feed (it would not read back as the
  // same row; the dialog should refuse such text when it is typed).
  bool Save(std::string* error = nullptr) const;

  // The first entry whose Id, in upper case, equals `id` exactly.
  std::optional<SpiCatalogueEntry> FindById(std::string_view id) const;
  // FreqMHz of FindById's entry as a number, or kUnknownChipFrequencyMHz.
  int32_t FrequencyForId(std::string_view id) const;

  void Clear();
  size_t Count() const;
  std::vector<SpiCatalogueEntry> Entries() const;  // a copy, in file order

  // For the catalogue dialog.
  void Add(SpiCatalogueEntry entry);  // appends
  bool RemoveAt(size_t index);        // false when out of range
  // Replaces every entry with the dialog's rows, in order; each row's No
  // becomes its index counting from 0 (saving numbers rows afresh anyway).
  void Rebuild(std::vector<SpiCatalogueEntry> rows);

  // The file format on its own, for tests and tools.
  static std::vector<SpiCatalogueEntry> Parse(std::string_view text);
  static std::string Format(const std::vector<SpiCatalogueEntry>& entries);

 private:
  using List = std::vector<SpiCatalogueEntry>;
  std::shared_ptr<const List> Snapshot() const;
  void Publish(List list);

  mutable std::mutex mutex_;  // guards list_ and file_, never held for I/O
  std::shared_ptr<const List> list_ = std::make_shared<const List>();
  std::filesystem::path file_;
};

}  // namespace ardentix

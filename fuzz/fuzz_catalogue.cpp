// Arbitrary bytes as SpiList.ini: loading must not fail, and what a save
// writes must load back as the same rows (numbered afresh).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "catalogue/spi_catalogue.h"
#include "core/files.h"
#include "fuzz_support.h"

namespace {

namespace fuzz = ardentix::fuzz;
using fuzz::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path dir = fuzz::WorkDir("catalogue");
  const std::filesystem::path in = dir / "in" / ardentix::kCatalogueFileName;
  const std::filesystem::path out = dir / "out" / ardentix::kCatalogueFileName;
  std::filesystem::create_directories(in.parent_path());
  std::filesystem::create_directories(out.parent_path());
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Check(ardentix::WriteFileAtomically(in, bytes));

  ardentix::SpiCatalogue loaded(in);
  Check(loaded.Load());
  const auto rows = loaded.Entries();
  Check(rows == ardentix::SpiCatalogue::Parse(bytes));

  for (const auto& e : rows) {
    std::string upper = e.Id;
    for (char& c : upper)
      if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    const auto found = loaded.FindById(upper);
    Check(found.has_value());
    std::string foundUpper = found->Id;
    for (char& c : foundUpper)
      if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    Check(foundUpper == upper);
    (void)loaded.FrequencyForId(upper);
  }

  loaded.SetPath(out);
  Check(loaded.Save());
  ardentix::SpiCatalogue again(out);
  Check(again.Load());
  const auto back = again.Entries();
  Check(back.size() == rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    auto expected = rows[i];
    expected.No = std::to_string(i + 1);
    Check(back[i] == expected);
  }
  return 0;
}

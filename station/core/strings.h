// The station's string table: every text the operator sees, by number, in
// one place so that a translation replaces one table.
#pragma once

#include <string>

namespace ardentix {

// The text of a string id, or "" when the table has none.
const char* StringText(int id);

// Window and dialog texts that are not in the numbered table.
namespace text {
inline constexpr const char* kProgramCaption = "RQ4820 Ardentix";        // message boxes
inline constexpr const char* kVersion = "V4.5.0_ForCustomer";
inline constexpr const char* kMasterImageCaption = "KPL4092E OID MP Tool";  // SD master image messages
inline constexpr const char* kAboutCaption = "關於 RQ4820 Ardentix";
inline constexpr const char* kAboutLine = "RQ4820 Ardentix Version 3.0";
}  // namespace text

}  // namespace ardentix

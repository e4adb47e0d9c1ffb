// The station's string table: every text the operator sees, by number, in
// one place so that a translation replaces one table.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace ardentix {

// The text of a string id, or "" when the table has none.
const char* StringText(int id);

// Every id of the table, in order (for translations).
std::vector<int> StringIds();

// A table text with its numbered places filled: "%1" becomes args[0], ...,
// up to "%9"; a place without an argument, and any other "%", stay as they are.
std::string FormatText(std::string_view pattern, std::initializer_list<std::string> args);

// Window and dialog texts that are not in the numbered table.
namespace text {
inline constexpr const char* kProgramCaption = "RQ4820 Ardentix";        // message boxes
inline constexpr const char* kVersion = "V4.5.0_ForCustomer";
inline constexpr const char* kMasterImageCaption = "KPL4092E OID MP Tool";  // SD master image messages
inline constexpr const char* kAboutCaption = "關於 RQ4820 Ardentix";
inline constexpr const char* kAboutLine = "RQ4820 Ardentix Version 3.0";
}  // namespace text

}  // namespace ardentix

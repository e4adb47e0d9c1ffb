// The window's texts in the operator's language. The station core keeps its
// texts in English (the string table, and a few fixed texts); the window
// translates them here, through Qt's translation system, with the string
// table as the source of the translations (ardentix-ts writes the .ts files
// from it).
#pragma once

#include <QLocale>
#include <QString>
#include <string>
#include <string_view>
#include <vector>

namespace ardentix::ui {

// The context of the numbered texts (the number is the disambiguation) and
// of the fixed texts without a number.
inline constexpr const char* kStringTableContext = "StringTable";
inline constexpr const char* kFixedTextContext = "Texts";

// A text the window may show, as the .ts file lists it.
struct TranslatableText {
  const char* context;
  std::string source;   // the English text, UTF-8
  std::string comment;  // the string id for numbered texts, else ""
};
// Every numbered text, then the fixed ones, in a stable order.
const std::vector<TranslatableText>& TranslatableTexts();

// The numbered text in the installed language.
QString Tr(int stringId);
// A text the core made in English: a table or fixed text, one followed by a
// percentage ("Erase flash...(40%)"), one of the fixed texts with numbers
// filled in, or a report ending in a table text. Anything else is shown as
// it is (file names, firmware info, serial numbers).
QString TrText(std::string_view english);

// Installs the translation for the locale (the system's at start-up):
// Simplified Chinese for zh_CN and its relatives, English (no translation)
// otherwise. Replaces the one installed before. True when one was installed.
bool InstallTranslation(const QLocale& locale);

}  // namespace ardentix::ui

// The one rule for a drive letter given to the library, whichever road the
// command then takes (simulator, Linux or Windows): either case names the
// drive, as Windows volume names do, and the library works with upper case.
#pragma once

namespace qmr {

// 'E' for 'e' or 'E'; 0 for anything that is not a letter A..Z in either case.
constexpr char CanonicalDriveLetter(char letter) {
  if (letter >= 'a' && letter <= 'z') return char(letter - 'a' + 'A');
  if (letter >= 'A' && letter <= 'Z') return letter;
  return 0;
}

}  // namespace qmr

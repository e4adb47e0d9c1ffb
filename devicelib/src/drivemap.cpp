#include "drivemap.h"

#include <cstdlib>
#include <sstream>

namespace qmr {

std::map<char, std::string> ParseDriveList(const std::string& text) {
  std::map<char, std::string> result;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    while (!item.empty() && item.front() == ' ') item.erase(item.begin());
    while (!item.empty() && item.back() == ' ') item.pop_back();
    if (item.size() < 3 || item[1] != '=') continue;
    char letter = item[0];
    if (letter >= 'a' && letter <= 'z') letter = char(letter - 'a' + 'A');
    if (letter < 'A' || letter > 'Z') continue;
    result[letter] = item.substr(2);
  }
  return result;
}

std::string DiskForLetter(char letter) {
  const char* env = std::getenv("QMR52916_DRIVES");
  if (env == nullptr) return {};
  const auto map = ParseDriveList(env);
  const auto it = map.find(letter);
  return it == map.end() ? std::string{} : it->second;
}

}  // namespace qmr

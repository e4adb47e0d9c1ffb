#include "records/line_address.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace ardentix::records {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

bool IsUrl(std::string_view a) { return a.rfind("postgresql://", 0) == 0 || a.rfind("postgres://", 0) == 0; }

bool IsPasswordKey(std::string_view key) {
  std::string lower(key);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower == "password";
}

// The pairs of "key = value ..." as libpq reads them; `keep` decides per
// pair, the rest of the text stays as written.
template <typename Keep>
std::string FilterPairs(const std::string& text, Keep keep, bool& dropped) {
  std::string out;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const size_t start = i;
    while (i < n && IsSpace(text[i])) ++i;
    const size_t keyStart = i;
    while (i < n && text[i] != '=' && !IsSpace(text[i])) ++i;
    const std::string_view key(text.data() + keyStart, i - keyStart);
    while (i < n && IsSpace(text[i])) ++i;
    if (i < n && text[i] == '=') ++i;
    while (i < n && IsSpace(text[i])) ++i;
    if (i < n && text[i] == '\'') {
      for (++i; i < n && text[i] != '\''; ++i)
        if (text[i] == '\\' && i + 1 < n) ++i;
      if (i < n) ++i;
    } else {
      for (; i < n && !IsSpace(text[i]); ++i)
        if (text[i] == '\\' && i + 1 < n) ++i;
    }
    if (key.empty() || keep(key)) {
      out.append(text, start, i - start);
    } else {
      dropped = true;
    }
    if (i == start) ++i;  // never stuck on a stray character
  }
  return out;
}

// URL: the password of the user info and any password= of the query.
std::string UrlWithoutPassword(const std::string& url, bool& dropped) {
  const size_t schemeEnd = url.find("://") + 3;
  const size_t authorityEnd = std::min(url.find_first_of("/?", schemeEnd), url.size());
  std::string out = url.substr(0, schemeEnd);
  const std::string authority = url.substr(schemeEnd, authorityEnd - schemeEnd);
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    const std::string userInfo = authority.substr(0, at);
    const size_t colon = userInfo.find(':');
    if (colon != std::string::npos) dropped = true;
    out += userInfo.substr(0, colon) + authority.substr(at);
  } else {
    out += authority;
  }
  const size_t query = url.find('?', authorityEnd);
  out += url.substr(authorityEnd, std::min(query, url.size()) - authorityEnd);
  if (query == std::string::npos) return out;
  std::string kept;
  size_t from = query + 1;
  while (from <= url.size()) {
    const size_t amp = std::min(url.find('&', from), url.size());
    const std::string param = url.substr(from, amp - from);
    if (IsPasswordKey(std::string_view(param).substr(0, param.find('=')))) {
      dropped = true;
    } else if (!param.empty()) {
      kept += (kept.empty() ? "" : "&") + param;
    }
    from = amp + 1;
  }
  if (!kept.empty()) out += "?" + kept;
  return out;
}

std::string Strip(const std::string& address, bool& dropped) {
  dropped = false;
  if (IsUrl(address)) return UrlWithoutPassword(address, dropped);
  if (address.find('=') == std::string::npos) return address;
  return FilterPairs(address, [](std::string_view key) { return !IsPasswordKey(key); }, dropped);
}

}  // namespace

bool IsLineServiceName(const std::string& address) {
  return !address.empty() && std::all_of(address.begin(), address.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '_' || c == '-' || c == '.';
  });
}

std::string LineConnInfo(const std::string& address) {
  return IsLineServiceName(address) ? "service=" + address : address;
}

bool LineAddressHasPassword(const std::string& address) {
  bool dropped = false;
  Strip(address, dropped);
  return dropped;
}

std::string LineAddressWithoutPassword(const std::string& address) {
  bool dropped = false;
  return Strip(address, dropped);
}

bool ReadableByOthers(const std::filesystem::path& file) {
  std::error_code ec;
  const auto perms = std::filesystem::status(file, ec).permissions();
  if (ec || perms == std::filesystem::perms::unknown) return false;
  using P = std::filesystem::perms;
  return (perms & (P::group_read | P::others_read)) != P::none;
}

}  // namespace ardentix::records

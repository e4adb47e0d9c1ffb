#pragma once
// The line database's address as the operator writes it (records.ini's Url=,
// `records --from`): a libpq URL ("postgresql://..."), libpq key=value
// pairs, or the bare name of a service in the libpq service file
// (PGSERVICEFILE, ~/.pg_service.conf). The password belongs in the libpq
// password file (PGPASSFILE, ~/.pgpass) or the service file; an address that
// carries one is never shown with it.
#include <filesystem>
#include <string>

namespace ardentix::records {

// A service name: letters, digits, "_", "-" and ".".
bool IsLineServiceName(const std::string& address);

// What libpq is given: "service=NAME" for a bare service name, else the
// address as it is.
std::string LineConnInfo(const std::string& address);

// Whether the address itself carries a password (URL user info or a
// password parameter or pair).
bool LineAddressHasPassword(const std::string& address);

// The address with any password left out, for messages.
std::string LineAddressWithoutPassword(const std::string& address);

// Whether users other than the file's owner may read it.
bool ReadableByOthers(const std::filesystem::path& file);

}  // namespace ardentix::records

#include "core/status_codes.h"

#include "core/strings.h"

namespace ardentix {

namespace {

int StringIdOf(StatusCode code) {
  switch (code) {
    case 4001: return 123;
    case 4003: return 124;
    case 4004: return 125;
    case 4005: return 126;
    case 4006: return 1046;
    case 5001: return 127;
    case 5002: return 128;
    case 5003: return 129;
    case 6003: return 130;
    case 6004: return 131;
    case 6005: return 132;
    case 6006: return 133;
    case 6007: return 134;
    case 6009: return 135;
    case 6010: return 136;
    case 6012: return 137;
    case 6013: return 138;
    case 6016: return 139;
    case 6017: return 140;
    case 6018: return 141;
    case 6019: return 118;
    case 6024: return 142;
    case 6025: return 143;
    case 6026: return 144;
    case 6028: return 1044;
    case 6029: return 1045;
    case 6030: return 1057;
    case 6062: return 145;
    case 6070: return 3131;
    case 6063: return 1058;
    case 6071: return 1070;
    case 6072: return 1071;
    default: return 0;
  }
}

}  // namespace

std::string StatusText(StatusCode code) {
  const int id = StringIdOf(code);
  return id == 0 ? std::string() : std::string(StringText(id));
}

}  // namespace ardentix

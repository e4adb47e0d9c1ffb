// The USB string built from INQUIRY fields.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "location/usb_string.h"

namespace qmr::location {
namespace {

TEST(NormaliseInquiryField, TrailingBlanksGoInnerBlanksBecomeUnderscores) {
  struct Case {
    std::string field;  // may hold a NUL
    std::string want;
  } cases[] = {
      {"Gen Ric ", "Gen_Ric"},  // two words, one blank, trailing blanks
      {"RQ4820 Disk     ", "RQ4820_Disk"},
      {"A  B  ", "A__B"},
      {"        ", ""},
      {"  lead", "__lead"},
      {"tab\t ", "tab\t"},  // only the space is a blank
      {std::string("AB\0 CD ", 7), "AB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    char text[32] = {};
    std::memcpy(text, c.field.data(), c.field.size());
    NormaliseInquiryField(text);
    EXPECT_EQ(std::string(text), c.want);
  }
}

std::string UsbStringOf(const char* vendor8, const char* product16, const char* revision4) {
  unsigned char inquiry[36] = {};
  std::memcpy(inquiry + 8, vendor8, 8);
  std::memcpy(inquiry + 16, product16, 16);
  std::memcpy(inquiry + 32, revision4, 4);
  return FormatUsbString(inquiry);
}

TEST(UsbString, FromInquiryFields) {
  EXPECT_EQ(UsbStringOf("Generic ", "RQ4820 Disk     ", "1.00"), "DISK&VEN_Generic&PROD_RQ4820_Disk&REV_1.00");
  EXPECT_EQ(UsbStringOf("        ", "                ", "    "), "DISK&VEN_&PROD_&REV_");
  const std::string full = UsbStringOf("VVVVVVVV", "PPPPPPPPPPPPPPPP", "RRRR");
  EXPECT_EQ(full.size(), 48u) << "fields fill exactly their bytes, nothing of the next field";
}

}  // namespace
}  // namespace qmr::location

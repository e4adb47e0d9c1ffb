// The location exports on simulated devices, through the library's C ABI.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "QMR52916LIB_ext.h"

namespace {

class SimulatedLocation : public ::testing::Test {
 protected:
  void SetUp() override {
    char error[256] = {};
    ASSERT_EQ(QMR_SimConfigure(R"({"devices": [
        {"letter": "E", "luns": 2, "vendor": "Gen Ric", "usbInstanceId": "USBSIM&0042"},
        {"letter": "H", "identify": [1, 0]}]})",
                               error, sizeof error),
              1)
        << error;
  }
  void TearDown() override { QMR_SimConfigure(nullptr, nullptr, 0); }

  static std::string Parent(char letter, int* result = nullptr) {
    char out[36] = {};
    const int r = TVQ_GetDeviceParentString(letter, out);
    if (result) *result = r;
    return out;
  }
  static std::string UsbString(char letter, int* result = nullptr) {
    char out[128] = {};
    const int r = TVQ_GetUSBString(letter, out);
    if (result) *result = r;
    return out;
  }
};

TEST_F(SimulatedLocation, BothUnitsShareTheIdAndDifferInTheLastDigit) {
  const std::string unit0 = Parent('E');
  const std::string unit1 = Parent('F');
  EXPECT_EQ(unit0, "USBSIM&0042&0");
  EXPECT_EQ(unit1, "USBSIM&0042&1");
  EXPECT_EQ(TVQ_GetDeviceLun('E', nullptr), 0);
  EXPECT_EQ(TVQ_GetDeviceLun('F', nullptr), 1);
}

TEST_F(SimulatedLocation, UsbStringFromInquiry) {
  // The vendor "Gen Ric" is two words with one blank, padded with blanks.
  EXPECT_EQ(UsbString('E'), "DISK&VEN_Gen_Ric&PROD_RQ4820_Disk&REV_1.00");
  EXPECT_EQ(UsbString('F'), UsbString('E'));
}

TEST_F(SimulatedLocation, Failures) {
  int result = -1;
  EXPECT_EQ(Parent('G', &result), "");
  EXPECT_EQ(result, 0) << "no device on G";
  EXPECT_EQ(TVQ_GetDeviceLun('G', nullptr), -1);

  UsbString('H', &result);
  EXPECT_EQ(result, 0) << "a device of another family cannot be opened for its INQUIRY";
  const std::string other = Parent('H');
  ASSERT_FALSE(other.empty()) << "but its location is known";
  EXPECT_EQ(other.back(), '0');

  char error[128] = {};
  ASSERT_EQ(QMR_SimAddFault('E', R"({"on": "inquiry"})", error, sizeof error), 1) << error;
  UsbString('E', &result);
  EXPECT_EQ(result, 0) << "INQUIRY failed";

  ASSERT_EQ(QMR_SimUnplug('E'), 1);
  Parent('E', &result);
  EXPECT_EQ(result, 0) << "unplugged";
  EXPECT_EQ(TVQ_GetDeviceLun('F', nullptr), -1);
}

TEST_F(SimulatedLocation, OutputIsNotTerminated) {
  char out[36];
  std::memset(out, 'X', sizeof out);
  ASSERT_EQ(TVQ_GetDeviceParentString('E', out), 1);
  EXPECT_EQ(std::string(out, 14), "USBSIM&0042&0X");
  ASSERT_EQ(TVQ_GetDeviceParentString('E', nullptr), 0);
}

}  // namespace

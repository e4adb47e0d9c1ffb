// Flash and cards kept in files: content between runs, holes where nothing
// was written, and the files a description may not use. Devices of one port
// that share its letter at different times.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "sim/sim.h"
#include "sim_driver.h"

namespace {

using namespace qmr::sim;
using namespace simtest;
using testing::HasSubstr;
using testing::StartsWith;
namespace fs = std::filesystem;

class SimFiles : public testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  // The bytes the file takes on disk; Windows' stat does not say, so holes
  // are checked on POSIX systems only.
  static uint64_t Allocated(const std::string& path) {
#ifdef _WIN32
    (void)path;
    return 0;
#else
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_blocks) * 512 : 0;
#endif
  }
  DeviceConfig Backed() const {
    DeviceConfig c = DefaultDevice(0);
    c.flashSizeKB = 1024;
    c.sdSectors = 2 * 1024 * 1024;  // 1 GiB
    c.eraseBusyPolls = 0;
    c.flashFile = Path("flash.bin");
    c.sdFile = Path("sd.bin");
    return c;
  }
  fs::path dir_ = fs::temp_directory_path() / ("sim_files_" + std::to_string(::getpid()));
};

std::string SerialIn(const VirtualDevice& d) {
  uint8_t raw[24];
  if (!d.PeekFlash(136, raw, sizeof raw)) return "?";
  std::string s;
  for (int i = 0; i < 12; ++i) s += char(raw[2 * i]);
  return s;
}

TEST_F(SimFiles, WhatARunWroteIsThereForTheNext) {
  const DeviceConfig c = Backed();
  {
    VirtualDevice d(c);
    EXPECT_EQ(SerialIn(d), "000000012345");  // a new flash file starts as the factory flash
    Driver drv(d);
    ASSERT_TRUE(drv.ChipErase());
    ASSERT_TRUE(drv.FlashWrite(0, Pattern(4096, 1)));
    ASSERT_TRUE(drv.FlashWrite(8192, Pattern(512, 2)));
    ASSERT_TRUE(drv.SdWrite(0, Pattern(512, 3)));
    ASSERT_TRUE(drv.SdWrite(uint32_t(c.sdSectors - 2), Pattern(1024, 4), /*vendor=*/true));
  }
  // The files are the media, byte for byte, for any tool to read.
  std::ifstream sd(c.sdFile, std::ios::binary);
  Bytes first(512);
  sd.read(reinterpret_cast<char*>(first.data()), 512);
  EXPECT_EQ(first, Pattern(512, 3));
  EXPECT_EQ(fs::file_size(c.sdFile), c.sdSectors * 512);  // a card image of the card's size
  EXPECT_EQ(fs::file_size(c.flashFile), 8192u + 512);     // the flash file ends after its last data

  DeviceConfig again = c;
  again.serial = "999999999999";  // the file's flash wins over the factory content
  VirtualDevice d(again);
  Driver drv(d);
  EXPECT_EQ(drv.FlashRead(0, 8), Pattern(4096, 1));
  EXPECT_EQ(drv.FlashRead(4096, 8), Filled(4096, 0xFF));  // erased gap
  EXPECT_EQ(drv.FlashRead(8192, 1), Pattern(512, 2));
  EXPECT_EQ(drv.FlashRead(1024 * 1024 - 512, 1), Filled(512, 0xFF));  // past the file's end
  EXPECT_EQ(drv.SdRead(0, 1), Pattern(512, 3));
  EXPECT_EQ(drv.SdRead(uint32_t(c.sdSectors - 2), 2), Pattern(1024, 4));
  EXPECT_EQ(drv.SdRead(1000, 1), Filled(512, 0));
}

TEST_F(SimFiles, UnwrittenRangesStayHoles) {
  const DeviceConfig c = Backed();
  VirtualDevice d(c);
  Driver drv(d);
  for (uint32_t sector : {0u, 1'000'000u, 2'000'000u}) ASSERT_TRUE(drv.SdWrite(sector, Pattern(61440, 5)));
  ASSERT_TRUE(drv.SdWrite(500'000, Filled(61440, 0)));  // blank over a hole: nothing stored
  EXPECT_LT(Allocated(c.sdFile), 2u * 1024 * 1024);    // of a 1 GiB card
  EXPECT_GT(d.SdBytesStored(0), 0u);

  // Erasing the flash's tail cuts its file; an erase inside it writes blank.
  ASSERT_TRUE(drv.FlashWrite(0, Pattern(16384, 6)));
  ASSERT_TRUE(drv.SectorErase(16, 16));  // bytes 4096..8191
  EXPECT_EQ(drv.FlashRead(4096, 8), Filled(4096, 0xFF));
  EXPECT_EQ(fs::file_size(c.flashFile), 16384u);
  ASSERT_TRUE(drv.SectorErase(32, 4096 - 32));  // from 8192 to the end
  EXPECT_EQ(fs::file_size(c.flashFile), 8192u);
  ASSERT_TRUE(drv.ChipErase());
  EXPECT_EQ(fs::file_size(c.flashFile), 0u);
  EXPECT_EQ(drv.FlashRead(0, 1), Filled(512, 0xFF));

  // Formatting the card empties its file but keeps its size.
  ASSERT_TRUE(d.FormatCard(0));
  EXPECT_EQ(drv.SdRead(0, 1), Filled(512, 0));
  EXPECT_EQ(fs::file_size(c.sdFile), c.sdSectors * 512);
  EXPECT_LT(Allocated(c.sdFile), 64u * 1024);
}

TEST_F(SimFiles, FilesThatCannotHoldTheMediumAreRefused) {
  fs::create_directories(Path("folder"));
  std::ofstream(Path("big.bin"), std::ios::binary) << std::string(2 * 1024 * 1024, 'x');
  struct Case {
    std::string flashFile, sdFile;
    std::string message;
  };
  const Case cases[] = {
      {Path("folder"), "", "flashFile " + Path("folder") + ": not a regular file"},
      {Path("big.bin"), "", "flashFile " + Path("big.bin") + ": holds 2097152 bytes, more than the medium's 1048576"},
      {"", Path("none/sd.bin"), "sdFile " + Path("none/sd.bin") + ": cannot be created (No such file or directory)"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.message);
    DeviceConfig c = Backed();
    c.flashFile = tc.flashFile;
    c.sdFile = tc.sdFile;
    SimConfig config;
    config.devices = {c};
    try {
      Bus bus(config);
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), tc.message);
    }
  }
  EXPECT_EQ(fs::file_size(Path("big.bin")), 2u * 1024 * 1024);  // nothing of a refused file is changed
}

std::string Devices(const std::string& list) { return "{\"devices\":[" + list + "]}"; }

TEST_F(SimFiles, DescriptionsNameTheirFiles) {
  // Relative names start from the description file's folder.
  const std::string description = Path("line.json");
  // An absolute name on every system (a leading slash alone is not one on Windows).
  const std::string absolute = (dir_ / "abs-sd2.bin").generic_string();
  std::ofstream(description) << Devices(R"({"letter":"E","luns":2,"flashFile":"e/flash.bin","sdFile":"e-sd.bin",
                                            "sd2File":")" + absolute + R"("})");
  SimConfig config;
  std::string error;
  ASSERT_TRUE(ParseSimSpec(description, config, error)) << error;
  EXPECT_EQ(fs::path(config.devices[0].flashFile), fs::path(Path("e/flash.bin")));
  EXPECT_EQ(fs::path(config.devices[0].sdFile), fs::path(Path("e-sd.bin")));
  EXPECT_EQ(fs::path(config.devices[0].sd2File), fs::path(absolute));

  struct Case {
    std::string json, message;
  };
  const Case cases[] = {
      {Devices(R"({"letter":"E","sdFile":""})"), R"(devices[0].sdFile: expected the name of a file, got "")"},
      {Devices(R"({"letter":"E","flashFile":7})"), "devices[0].flashFile: expected a string, got 7"},
      {Devices(R"({"letter":"E","sd2File":"x.bin"})"), "devices[0].sd2File: set, but the device has one logical unit"},
      {Devices(R"({"letter":"E","sdFile":"a.bin"},{"letter":"F","flashFile":"./a.bin"})"),
       R"(devices[1].flashFile: "a.bin" is already used by devices[0].sdFile)"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.json);
    EXPECT_FALSE(ParseSimSpec(tc.json, config, error));
    EXPECT_THAT(error, StartsWith("simulator JSON: " + tc.message));
  }
}

TEST(SimPort, TwoDevicesShareALetterWhenNeverPluggedAtOnce) {
  struct Case {
    std::string second;  // the second entry on E, after {"letter":"E","unplugAtMs":1000}
    std::string error;   // "" accepted
  };
  const Case cases[] = {
      {R"({"letter":"E","plugAtMs":1500})", ""},
      {R"({"letter":"E","plugAtMs":1500,"usbInstanceId":"QMRSIM482000"})", ""},  // a port's own id, no USB serial
      {R"({"letter":"E","plugAtMs":1000})", R"(devices[1].letter: "E" is already used by devices[0].letter while both)"},
      {R"({"letter":"E"})", R"(devices[1].letter: "E" is already used by devices[0].letter while both)"},
      {R"({"letter":"D","luns":2,"lun1Letter":"E","plugAtMs":900})", R"(devices[1].lun1Letter: "E" is already used)"},
      {R"({"letter":"F","plugAtMs":1500,"usbInstanceId":"QMRSIM482000"})",
       R"(devices[1].usbInstanceId: "QMRSIM482000" is already used by devices[0])"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.second);
    SimConfig config;
    std::string error;
    const bool ok = ParseSimSpec(Devices(R"({"letter":"E","unplugAtMs":1000},)" + tc.second), config, error);
    EXPECT_EQ(ok, tc.error.empty()) << error;
    if (!tc.error.empty()) {
      EXPECT_THAT(error, StartsWith("simulator JSON: " + tc.error));
    }
  }
}

TEST(SimPort, TheLetterLeadsToThePluggedDevice) {
  SimConfig config;
  config.devices = {DefaultDevice(0), DefaultDevice(1)};
  config.devices[1].letter = 'E';
  // Schedules far away: the test plugs by hand.
  config.devices[0].unplugAtMs = 600'000;
  config.devices[1].plugAtMs = 700'000;
  Bus bus(config);
  const auto first = bus.Devices()[0], second = bus.Devices()[1];
  EXPECT_EQ(bus.Find('E', nullptr), first);
  first->SetPlugged(false);
  EXPECT_EQ(bus.Find('E', nullptr), nullptr);
  EXPECT_EQ(bus.Owner('E', nullptr), first);
  second->SetPlugged(true);
  EXPECT_EQ(bus.Find('E', nullptr), second);
  EXPECT_EQ(SerialIn(*bus.Find('E', nullptr)), "000000012346");  // each with its own serial
  EXPECT_EQ(bus.DriveMask(), 1u << ('E' - 'A'));

  // Unplug and Plug on the port bring its units in turn.
  struct Step {
    bool plug;
    std::shared_ptr<VirtualDevice> plugged;  // after the step
  };
  const Step steps[] = {{false, nullptr}, {true, first}, {true, first}, {false, nullptr}, {true, second}};
  for (const Step& step : steps) {
    ASSERT_TRUE(step.plug ? bus.Plug('e') : bus.Unplug('E'));
    EXPECT_EQ(bus.Find('E', nullptr), step.plugged);
  }
}

}  // namespace

// Reading simulator descriptions: counts, JSON text and files, and the
// messages that refuse a bad one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <unistd.h>

#include "sim/sim.h"

namespace {

using namespace qmr::sim;
using testing::HasSubstr;
using testing::StartsWith;

std::string Devices(const std::string& list) { return "{\"devices\":[" + list + "]}"; }

TEST(SimConfigCount, DefaultDevicesOnConsecutiveLetters) {
  struct Case {
    const char* text;
    std::string letters;
  };
  for (const Case& tc : {Case{"3", "EFG"}, Case{" 0 ", ""}, Case{"+2\n", "EF"}, Case{"22", "EFGHIJKLMNOPQRSTUVWXYZ"}}) {
    SCOPED_TRACE(tc.text);
    SimConfig config;
    std::string error;
    ASSERT_TRUE(ParseSimSpec(tc.text, config, error)) << error;
    std::string letters;
    for (size_t i = 0; i < config.devices.size(); ++i) {
      const DeviceConfig& d = config.devices[i];
      letters += d.letter;
      EXPECT_EQ(d.serial, DefaultDevice(int(i)).serial);
      EXPECT_EQ(d.luns, 1);
    }
    EXPECT_EQ(letters, tc.letters);
  }
}

TEST(SimConfigCount, OutOfRangeCountsAreRefused) {
  for (const char* count : {"23", "-1", "99999999999999999999"}) {
    SimConfig config;
    std::string error;
    EXPECT_FALSE(ParseSimSpec(count, config, error));
    EXPECT_THAT(error, StartsWith(std::string("simulator count \"") + count + "\""));
    EXPECT_THAT(error, HasSubstr("0 to 22"));
  }
}

TEST(SimConfigDefaults, DevicesDifferInEveryIdentity) {
  std::set<std::string> serials, instanceIds;
  std::set<std::array<uint8_t, 20>> userIds;
  for (int i = 0; i < 22; ++i) {
    const DeviceConfig d = DefaultDevice(i);
    EXPECT_EQ(d.letter, 'E' + i);
    ASSERT_TRUE(d.serial);
    EXPECT_EQ(*d.serial, "0000000" + std::to_string(12345 + i));
    // std::regex: GoogleTest's own regular expressions on Windows know no [0-9]{6}.
    EXPECT_TRUE(std::regex_match(d.usbInstanceId, std::regex("QMRSIM[0-9]{6}"))) << d.usbInstanceId;
    EXPECT_EQ(d.flashId, (std::array<uint8_t, 4>{0x00, 0xEF, 0x40, 0x18}));
    EXPECT_EQ(d.identify, (std::array<uint8_t, 2>{1, 1}));
    EXPECT_EQ(d.product, "RQ4820 Disk");
    EXPECT_EQ(d.flashSizeKB, 16384u);
    EXPECT_EQ(d.sdSectors, 1048576u);
    EXPECT_EQ(d.eraseBusyPolls, 2);
    serials.insert(*d.serial);
    instanceIds.insert(d.usbInstanceId);
    userIds.insert(d.userId);
  }
  EXPECT_EQ(serials.size(), 22u);
  EXPECT_EQ(instanceIds.size(), 22u);
  EXPECT_EQ(userIds.size(), 22u);
  EXPECT_EQ(DefaultDevice(0).usbInstanceId, DefaultDevice(0).usbInstanceId);
}

TEST(SimConfigJson, EveryKeyIsRead) {
  const std::string json = R"({
    "timing": "realistic",
    "devices": [
      {"letter": "H", "luns": 2, "vendor": "ACME", "product": "Burner X", "revision": "2.10",
       "identify": [1, 0], "flashId": "C220197e", "flashSizeKB": 4096, "serial": "123456789012",
       "userId": "000102030405060708090a0b0c0d0e0f10111213", "sdSectors": 4294967296, "sd2Sectors": 2048,
       "lun1Letter": "K", "eraseBusyPolls": 0, "usbInstanceId": "7&2A3B&0", "plugAtMs": 100, "unplugAtMs": 900,
       "timing": {"commandLatencyUs": 100, "sdReadMBps": 2.5, "sdWriteMBps": 1, "flashReadMBps": 3,
                  "flashWriteMBps": 0.25, "eraseLatencyUs": 7},
       "faults": [{"on": "sd-write", "after": 3, "action": "corrupt", "count": -1}, {"on": "lock"}]},
      {"letter": "E", "serial": null}
    ]})";
  SimConfig config;
  std::string error;
  ASSERT_TRUE(ParseSimSpec(json, config, error)) << error;
  ASSERT_EQ(config.devices.size(), 2u);
  const DeviceConfig& d = config.devices[0];
  EXPECT_EQ(d.letter, 'H');
  EXPECT_EQ(d.luns, 2);
  EXPECT_EQ(d.lun1Letter, 'K');
  EXPECT_EQ(d.vendor, "ACME");
  EXPECT_EQ(d.product, "Burner X");
  EXPECT_EQ(d.revision, "2.10");
  EXPECT_EQ(d.identify, (std::array<uint8_t, 2>{1, 0}));
  EXPECT_EQ(d.flashId, (std::array<uint8_t, 4>{0xC2, 0x20, 0x19, 0x7E}));
  EXPECT_EQ(d.flashSizeKB, 4096u);
  EXPECT_EQ(d.serial, "123456789012");
  for (size_t i = 0; i < 20; ++i) EXPECT_EQ(d.userId[i], i);
  EXPECT_EQ(d.sdSectors, 4294967296u);
  EXPECT_EQ(d.sd2Sectors, 2048u);
  EXPECT_EQ(d.eraseBusyPolls, 0);
  EXPECT_EQ(d.usbInstanceId, "7&2A3B&0");
  EXPECT_EQ(d.plugAtMs, 100);
  EXPECT_EQ(d.unplugAtMs, 900);
  EXPECT_EQ(d.timing.commandLatencyUs, 100u);
  EXPECT_EQ(d.timing.sdReadMBps, 2.5);
  EXPECT_EQ(d.timing.sdWriteMBps, 1.0);
  EXPECT_EQ(d.timing.flashReadMBps, 3.0);
  EXPECT_EQ(d.timing.flashWriteMBps, 0.25);
  EXPECT_EQ(d.timing.eraseLatencyUs, 7u);
  ASSERT_EQ(d.faults.size(), 2u);
  EXPECT_EQ(d.faults[0].on, FaultTarget::SdWrite);
  EXPECT_EQ(d.faults[0].after, 3);
  EXPECT_EQ(d.faults[0].action, FaultAction::Corrupt);
  EXPECT_EQ(d.faults[0].count, -1);
  EXPECT_EQ(d.faults[1].on, FaultTarget::Lock);
  EXPECT_EQ(d.faults[1].after, 0);
  EXPECT_EQ(d.faults[1].action, FaultAction::Fail);
  EXPECT_EQ(d.faults[1].count, 1);

  // Missing keys take the defaults of the device's index; the shared timing
  // applies where a device has none.
  const DeviceConfig& e = config.devices[1];
  const DeviceConfig def = DefaultDevice(1);
  EXPECT_FALSE(e.serial);
  EXPECT_EQ(e.userId, def.userId);
  EXPECT_EQ(e.usbInstanceId, def.usbInstanceId);
  EXPECT_EQ(e.flashId, def.flashId);
  EXPECT_EQ(e.sdSectors, def.sdSectors);
  EXPECT_EQ(e.luns, 1);
  EXPECT_EQ(e.timing.commandLatencyUs, Timing::Realistic().commandLatencyUs);
  EXPECT_EQ(e.timing.sdWriteMBps, Timing::Realistic().sdWriteMBps);
  EXPECT_FALSE(Timing::Realistic().IsZero());
}

TEST(SimConfigJson, SharedBusAndCardSpeeds) {
  struct Case {
    const char* json;
    double busMBps;
    double cardSpeed;
    double cardMBps;
  };
  const Case cases[] = {
      {R"({"devices":[{"letter":"E"}]})", 0, 1, 0},
      {R"({"timing":"zero","devices":[{"letter":"E"}]})", 0, 1, 0},
      {R"({"timing":"realistic","devices":[{"letter":"E"}]})", 35, 1, 0},
      {R"({"timing":"realistic","busMBps":0,"devices":[{"letter":"E"}]})", 0, 1, 0},
      {R"({"busMBps":20.5,"devices":[{"letter":"E","cardSpeed":0.85}]})", 20.5, 0.85, 0},
      {R"({"timing":"realistic","devices":[{"letter":"E","cardMBps":9}]})", 35, 1, 9},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.json);
    SimConfig config;
    std::string error;
    ASSERT_TRUE(ParseSimSpec(tc.json, config, error)) << error;
    EXPECT_EQ(config.busMBps, tc.busMBps);
    ASSERT_EQ(config.devices.size(), 1u);
    EXPECT_EQ(config.devices[0].cardSpeed, tc.cardSpeed);
    EXPECT_EQ(config.devices[0].cardMBps, tc.cardMBps);
  }
}

TEST(SimConfigJson, LocationFromTheConfigurationOrTheSystem) {
  const std::pair<std::string, bool> cases[] = {
      {R"({"devices":[]})", false},
      {R"({"location":"simulated","devices":[]})", false},
      {R"({"location":"system","devices":[]})", true},
  };
  for (const auto& [json, system] : cases) {
    SCOPED_TRACE(json);
    SimConfig config;
    std::string error;
    ASSERT_TRUE(ParseSimSpec(json, config, error)) << error;
    EXPECT_EQ(config.systemLocation, system);
    EXPECT_EQ(Bus(config).SystemLocation(), system);
  }
}

TEST(SimConfigJson, UnitOneTakesTheNextFreeLetter) {
  struct Case {
    std::string devices;
    std::string unitOneLetters;  // per device, '-' for one-unit devices
  };
  const Case cases[] = {
      {R"({"letter":"E","luns":2},{"letter":"F"})", "G-"},
      {R"({"letter":"E","luns":2},{"letter":"G","luns":2})", "FH"},
      {R"({"letter":"E","luns":2},{"letter":"F","luns":2,"lun1Letter":"G"})", "HG"},
      {R"({"letter":"X","luns":2},{"letter":"E","luns":2,"lun1Letter":"Y"})", "ZY"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.devices);
    SimConfig config;
    std::string error;
    ASSERT_TRUE(ParseSimSpec(Devices(tc.devices), config, error)) << error;
    std::string got;
    for (const DeviceConfig& d : config.devices) got += d.luns == 2 ? d.lun1Letter : '-';
    EXPECT_EQ(got, tc.unitOneLetters);
  }
}

TEST(SimConfigJson, BadDescriptionsAreRefusedWhole) {
  struct Case {
    std::string json;
    std::string message;  // after "simulator JSON: "
  };
  const Case cases[] = {
      {R"({"devices":[{"letter":"E",}]})", "invalid JSON: parse error at line 1, column 27"},
      {R"({"devices":[{"letter":"E"}]} x)", "invalid JSON"},
      {R"({"device":[]})", R"(device: unknown key "device" (did you mean "devices"?))"},
      {R"({"location":"registry","devices":[]})", R"(location: expected "simulated" or "system", got "registry")"},
      {Devices(R"({"letter":"E","flashID":"00EF4018"})"), R"(devices[0].flashID: unknown key "flashID" (did you mean "flashId"?))"},
      {Devices(R"({"letter":"E","colour":1})"), R"(devices[0].colour: unknown key "colour" (known keys: letter, luns)"},
      {Devices(R"({"letter":"E","letter":"F"})"), R"(key "letter" given twice)"},
      {R"({"devices":{"letter":"E"}})", "devices: expected a list of devices"},
      {Devices(R"("E")"), R"(devices[0]: expected an object, got "E")"},
      {Devices(R"({"luns":1})"), R"(devices[0]: missing "letter")"},
      {Devices(R"({"letter":"e"})"), R"(devices[0].letter: expected one drive letter "A" to "Z", got "e")"},
      {Devices(R"({"letter":"EF"})"), R"(devices[0].letter: expected one drive letter)"},
      {Devices(R"({"letter":5})"), R"(devices[0].letter: expected one drive letter)"},
      {Devices(R"({"letter":"E"},{"letter":"E"})"), R"(devices[1].letter: "E" is already used by devices[0].letter)"},
      {Devices(R"({"letter":"E","luns":2,"lun1Letter":"G"},{"letter":"G"})"),
       R"(devices[1].letter: "G" is already used by devices[0].lun1Letter)"},
      {Devices(R"({"letter":"Y","luns":2},{"letter":"Z"})"), R"(devices[0].lun1Letter: no free letter after "Y")"},
      {Devices(R"({"letter":"E","lun1Letter":"F"})"), R"(devices[0].lun1Letter: set, but the device has one logical unit)"},
      {Devices(R"({"letter":"E","luns":3})"), "devices[0].luns: expected 1 to 2, got 3"},
      {Devices(R"({"letter":"E","luns":"2"})"), R"(devices[0].luns: expected a whole number, got "2")"},
      {Devices(R"({"letter":"E","identify":[1]})"), "devices[0].identify: expected two numbers 0 to 255, got [1]"},
      {Devices(R"({"letter":"E","identify":[1,256]})"), "devices[0].identify: expected two numbers 0 to 255"},
      {Devices(R"({"letter":"E","identify":[-1,1]})"), "devices[0].identify: expected two numbers 0 to 255"},
      {Devices(R"({"letter":"E"},{"letter":"F","flashId":"12G4"})"),
       R"(devices[1].flashId: expected 8 hex digits, got "12G4")"},
      {Devices(R"({"letter":"E","flashId":"00EF401G"})"), "devices[0].flashId: expected 8 hex digits"},
      {Devices(R"({"letter":"E","flashId":"+0EF4018"})"), "devices[0].flashId: expected 8 hex digits"},
      {Devices(R"({"letter":"E","userId":"0001"})"), "devices[0].userId: expected 40 hex digits"},
      {Devices(R"({"letter":"E","flashSizeKB":0})"), "devices[0].flashSizeKB: expected 1 to 262144, got 0"},
      {Devices(R"({"letter":"E","flashSizeKB":262145})"), "devices[0].flashSizeKB: expected 1 to 262144"},
      {Devices(R"({"letter":"E","flashSizeKB":1.5})"), "devices[0].flashSizeKB: expected a whole number, got 1.5"},
      {Devices(R"({"letter":"E","sdSectors":0})"), "devices[0].sdSectors: expected 1 to 4294967296, got 0"},
      {Devices(R"({"letter":"E","sdSectors":4294967297})"), "devices[0].sdSectors: expected 1 to 4294967296"},
      {Devices(R"({"letter":"E","sd2Sectors":-1})"), "devices[0].sd2Sectors: expected 1 to 4294967296"},
      {Devices(R"({"letter":"E","sdSectors":18446744073709551615})"), "devices[0].sdSectors: expected 1 to"},
      {Devices(R"({"letter":"E","eraseBusyPolls":-1})"), "devices[0].eraseBusyPolls: expected 0 to"},
      {Devices(R"({"letter":"E","serial":"12345"})"), R"(devices[0].serial: expected 12 decimal digits or null, got "12345")"},
      {Devices(R"({"letter":"E","serial":123456789012})"), "devices[0].serial: expected 12 decimal digits or null"},
      {Devices(R"({"letter":"E","serial":"00000001234A"})"), "devices[0].serial: expected 12 decimal digits"},
      {Devices(R"({"letter":"E","vendor":"TooLongVendor"})"), "devices[0].vendor: at most 8 characters"},
      {Devices(R"({"letter":"E","product":5})"), "devices[0].product: expected a string, got 5"},
      {Devices(R"({"letter":"E","usbInstanceId":"a b"})"), "devices[0].usbInstanceId: expected 1 to 32"},
      {Devices(R"({"letter":"E","usbInstanceId":"123456789012345678901234567890123"})"),
       "devices[0].usbInstanceId: expected 1 to 32"},
      {Devices(R"({"letter":"E","usbInstanceId":"X1"},{"letter":"F","usbInstanceId":"X1"})"),
       R"(devices[1].usbInstanceId: "X1" is already used by devices[0])"},
      {Devices(R"({"letter":"E","plugAtMs":-2})"), "devices[0].plugAtMs: expected -1 or more, got -2"},
      {Devices(R"({"letter":"E","timing":"fast"})"), R"(devices[0].timing: expected "zero", "realistic" or an object)"},
      {Devices(R"({"letter":"E","timing":{"sdReadMbps":1}})"),
       R"(devices[0].timing.sdReadMbps: unknown key "sdReadMbps" (did you mean "sdReadMBps"?))"},
      {Devices(R"({"letter":"E","timing":{"commandLatencyUs":-1}})"), "devices[0].timing.commandLatencyUs: expected 0 to"},
      {Devices(R"({"letter":"E","timing":{"flashWriteMBps":-0.5}})"), "devices[0].timing.flashWriteMBps: expected a rate"},
      {R"({"timing":7,"devices":[]})", R"(timing: expected "zero", "realistic" or an object, got 7)"},
      {R"({"busMBps":-1,"devices":[]})", "busMBps: expected a rate of 0 (instant) or more MB/s, got -1"},
      {Devices(R"({"letter":"E","cardSpeed":0})"), "devices[0].cardSpeed: expected a factor of 0.01 to 100, got 0"},
      {Devices(R"({"letter":"E","cardSpeed":"fast"})"), "devices[0].cardSpeed: expected a factor of 0.01 to 100"},
      {Devices(R"({"letter":"E","cardMBps":-3})"), "devices[0].cardMBps: expected a rate"},
      {Devices(R"({"letter":"E","faults":{"on":"lock"}})"), "devices[0].faults: expected a list of faults"},
      {Devices(R"({"letter":"E","faults":[{"on":"lock"},{"on":"flash-wrte"}]})"),
       R"(devices[0].faults[1].on: unknown command "flash-wrte" (one of open, identify,)"},
      {Devices(R"({"letter":"E","faults":[{"action":"fail"}]})"), R"(devices[0].faults[0]: missing "on")"},
      {Devices(R"({"letter":"E","faults":[{"on":"lock","action":"explode"}]})"),
       R"(devices[0].faults[0].action: unknown action "explode" (one of fail, corrupt, busy, unplug, stall))"},
      {Devices(R"({"letter":"E","faults":[{"on":"lock","action":"stall"}]})"),
       R"(devices[0].faults[0].action: "stall" needs a device command, not "lock")"},
      {Devices(R"({"letter":"E","faults":[{"on":"sd-write","action":"fail","ms":5}]})"),
       R"(devices[0].faults[0].ms: "ms" belongs to the "stall" action)"},
      {Devices(R"({"letter":"E","faults":[{"on":"sd-write","action":"stall","ms":-1}]})"),
       "devices[0].faults[0].ms: expected 0 to"},
      {Devices(R"({"letter":"E","faults":[{"on":"open","action":"corrupt"}]})"),
       R"(devices[0].faults[0].action: "corrupt" needs a command that moves data, not "open")"},
      {Devices(R"({"letter":"E","faults":[{"on":"sd-read","count":-2}]})"), "devices[0].faults[0].count: expected -1 to"},
      {Devices(R"({"letter":"E","faults":[{"on":"sd-read","after":-1}]})"), "devices[0].faults[0].after: expected 0 to"},
      {Devices(R"({"letter":"E","faults":[{"on":"sd-read","when":1}]})"), R"(devices[0].faults[0].when: unknown key)"},
      // A number beyond a double is refused, not thrown at the caller.
      {Devices(R"({"letter":"E","flashSizeKB":1e999})"), "invalid JSON: number overflow parsing '1e999'"},
      {"{/*" + std::string(5000, 'c'), [] {  // the parser quotes the rest of the text: cut to 240
         const std::string p = "parse error at line 1, column 5004: syntax error while parsing object key - invalid "
                               "comment; missing closing '*/'; last read: '{/*";
         return "invalid JSON: " + p + std::string(237 - p.size(), 'c') + "...";
       }()},
      // Input reaches terminals and message boxes only escaped, and cut.
      {Devices(R"({"letter":"E","\u001b[2J\u00e9":1})"), R"(devices[0].\x1B[2J\xC3\xA9: unknown key "\x1B[2J\xC3\xA9")"},
      {Devices(R"({"letter":"E",")" + std::string(5000, 'k') + R"(":1})"),
       "devices[0]." + std::string(37, 'k') + R"(...: unknown key ")" + std::string(37, 'k') + R"(..." (known keys)"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.json);
    SimConfig config;
    config.devices.push_back(DefaultDevice(7));
    std::string error;
    const bool ok = ParseSimSpec(tc.json, config, error);
    EXPECT_FALSE(ok);
    EXPECT_THAT(error, StartsWith("simulator JSON: " + tc.message));
    // Nothing of a refused description is taken.
    ASSERT_EQ(config.devices.size(), 1u);
    EXPECT_EQ(config.devices[0].letter, 'L');
  }
}

class SimConfigFile : public testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove(path_); }
  std::string Write(const std::string& text) {
    std::ofstream(path_) << text;
    return path_.string();
  }
  std::filesystem::path path_ = std::filesystem::temp_directory_path() /
                                ("sim_config_" + std::to_string(::getpid()) + ".json");
};

TEST_F(SimConfigFile, ReadsJsonWithComments) {
  const std::string path = Write("// two burn slots\n{\"devices\":[{\"letter\":\"E\"},{\"letter\":\"F\"}]}\n");
  SimConfig config;
  std::string error;
  ASSERT_TRUE(ParseSimSpec(path, config, error)) << error;
  EXPECT_EQ(config.devices.size(), 2u);
}

TEST_F(SimConfigFile, MessagesNameTheFile) {
  const std::string path = Write(Devices(R"({"letter":"E"},{"letter":"F","flashId":"12G4"})"));
  SimConfig config;
  std::string error;
  EXPECT_FALSE(ParseSimSpec(path, config, error));
  EXPECT_EQ(error, "simulator file " + path + R"(: devices[1].flashId: expected 8 hex digits, got "12G4")");

  EXPECT_FALSE(ParseSimSpec(path + ".missing", config, error));
  EXPECT_EQ(error, "simulator file " + path + ".missing: cannot be read (No such file or directory)");

  EXPECT_FALSE(ParseSimSpec(std::filesystem::temp_directory_path().string(), config, error));
  EXPECT_THAT(error, HasSubstr("cannot be read"));
#if !defined(_WIN32)
  // A file without end is not read until memory runs out.
  EXPECT_FALSE(ParseSimSpec("/dev/zero", config, error));
  EXPECT_EQ(error, "simulator file /dev/zero: cannot be read (larger than 4 MiB)");
#endif

  EXPECT_FALSE(ParseSimSpec("   ", config, error));
  EXPECT_THAT(error, HasSubstr("nothing given"));
}

TEST(SimConfigFault, OneFaultObject) {
  FaultSpec f;
  std::string error;
  ASSERT_TRUE(ParseFault(R"({"on":"sd-read","after":3,"action":"corrupt","count":-1})", f, error)) << error;
  EXPECT_EQ(f.on, FaultTarget::SdRead);
  EXPECT_EQ(f.after, 3);
  EXPECT_EQ(f.action, FaultAction::Corrupt);
  EXPECT_EQ(f.count, -1);
  ASSERT_TRUE(ParseFault(R"( {"on":"read-capacity"} )", f, error)) << error;
  EXPECT_EQ(f.on, FaultTarget::ReadCapacity);
  EXPECT_EQ(f.action, FaultAction::Fail);
  EXPECT_EQ(f.count, 1);
  EXPECT_EQ(f.ms, -1);
  ASSERT_TRUE(ParseFault(R"({"on":"sd-write","after":40,"action":"stall","ms":1500})", f, error)) << error;
  EXPECT_EQ(f.action, FaultAction::Stall);
  EXPECT_EQ(f.after, 40);
  EXPECT_EQ(f.ms, 1500);
  ASSERT_TRUE(ParseFault(R"({"on":"flash-status","action":"stall"})", f, error)) << error;
  EXPECT_EQ(f.ms, -1);  // until unplugged

  const std::pair<const char*, const char*> bad[] = {
      {R"({"on":"open","action":"stall"})", R"(fault JSON: action: "stall" needs a device command, not "open")"},
      {R"({"on":"sd-reed"})", R"(fault JSON: on: unknown command "sd-reed")"},
      {R"({"on":"lock","action":"busy","count":-3})", "fault JSON: count: expected -1 to"},
      {"flash-write", "fault JSON: invalid JSON"},
      {"[]", "fault JSON: expected an object"},
  };
  for (const auto& [json, message] : bad) {
    EXPECT_FALSE(ParseFault(json, f, error)) << json;
    EXPECT_THAT(error, StartsWith(message));
  }
}

}  // namespace

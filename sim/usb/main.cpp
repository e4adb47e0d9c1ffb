// ardentix-usbemu: serves simulated devices as USB mass-storage devices over
// usbredir, one stream socket per device, for a QEMU guest's usb-redir
// devices to connect to; and a line-based control socket to plug, unplug,
// inject faults and read a device's flash or card.
//
//   ardentix-usbemu serve --config FILE --dir DIR [--verbose]
//   ardentix-usbemu ctl SOCKET COMMAND...
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "redir_device.h"
#include "sim/sim.h"

namespace {

using qmr::sim::usb::RedirDevice;

volatile sig_atomic_t gStop = 0;
bool gVerbose = false;
const auto gStart = std::chrono::steady_clock::now();

void Log(const std::string& who, const std::string& message) {
  const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - gStart).count();
  std::fprintf(stderr, "[%8.3f] %s: %s\n", t, who.c_str(), message.c_str());
}

int Listen(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    ::close(fd);
    errno = ENAMETOOLONG;
    return -1;
  }
  std::strcpy(addr.sun_path, path.c_str());
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int AcceptFrom(int listener) { return ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); }

struct ControlClient {
  int fd = -1;
  std::string input;
};

class Emulator {
 public:
  bool Start(const std::string& config, const std::string& dir, std::string& error) {
    qmr::sim::SimConfig parsed;
    if (!qmr::sim::ParseSimSpec(config, parsed, error)) return false;
    if (parsed.devices.empty()) {
      error = config + ": no devices";
      return false;
    }
    try {
      bus_ = std::make_unique<qmr::sim::Bus>(parsed);
    } catch (const std::exception& e) {  // a backing file that cannot be used
      error = config + ": " + e.what();
      return false;
    }
    int i = 0;
    for (const auto& model : bus_->Devices()) {
      qmr::sim::usb::UsbIdentity id;
      id.product = model->config().product;
      id.serial = model->config().usbInstanceId;
      const std::string who = "usb" + std::to_string(i);
      devices_.push_back(std::make_unique<RedirDevice>(i, model, id, [who](const std::string& m) { Log(who, m); }));
      const std::string path = dir + "/" + who + ".sock";
      const int fd = Listen(path);
      if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
      }
      listeners_.push_back(fd);
      ++i;
    }
    control_ = Listen(dir + "/control.sock");
    if (control_ < 0) {
      error = dir + "/control.sock: " + std::strerror(errno);
      return false;
    }
    std::ofstream(dir + "/ready") << devices_.size() << "\n";
    Log("emulator", "serving " + std::to_string(devices_.size()) + " devices in " + dir);
    return true;
  }

  void Run() {
    while (!gStop) {
      std::vector<pollfd> fds;
      enum Kind { kListener, kDevice, kControlListener, kControl };
      std::vector<std::pair<Kind, size_t>> what;
      for (size_t i = 0; i < listeners_.size(); ++i) {
        fds.push_back({listeners_[i], POLLIN, 0});
        what.push_back({kListener, i});
        if (devices_[i]->Fd() >= 0) {
          fds.push_back({devices_[i]->Fd(), short(POLLIN | (devices_[i]->WantsWrite() ? POLLOUT : 0)), 0});
          what.push_back({kDevice, i});
        }
      }
      fds.push_back({control_, POLLIN, 0});
      what.push_back({kControlListener, 0});
      for (size_t i = 0; i < clients_.size(); ++i) {
        fds.push_back({clients_[i].fd, POLLIN, 0});
        what.push_back({kControl, i});
      }
      // The timeout lets scheduled plugs and unplugs reach the ports.
      const int rc = ::poll(fds.data(), fds.size(), 100);
      if (rc < 0 && errno != EINTR) break;
      for (size_t k = 0; rc > 0 && k < fds.size(); ++k) {
        if (fds[k].revents == 0) continue;
        const auto [kind, i] = what[k];
        switch (kind) {
          case kListener: {
            const int fd = AcceptFrom(listeners_[i]);
            if (fd >= 0) {
              Log("usb" + std::to_string(i), "peer connected");
              devices_[i]->Attach(fd);
            }
            break;
          }
          case kDevice:
            if (fds[k].revents & (POLLIN | POLLHUP | POLLERR)) devices_[i]->OnReadable();
            if ((fds[k].revents & POLLOUT) && devices_[i]->Fd() >= 0) devices_[i]->OnWritable();
            break;
          case kControlListener: {
            const int fd = AcceptFrom(control_);
            if (fd >= 0) clients_.push_back({fd, {}});
            break;
          }
          case kControl:
            ServeControl(clients_[i]);
            break;
        }
      }
      clients_.erase(std::remove_if(clients_.begin(), clients_.end(), [](const ControlClient& c) { return c.fd < 0; }),
                     clients_.end());
      for (auto& d : devices_) d->Sync();
    }
  }

 private:
  void ServeControl(ControlClient& client) {
    char buffer[4096];
    const ssize_t n = ::read(client.fd, buffer, sizeof buffer);
    if (n <= 0) {
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
      ::close(client.fd);
      client.fd = -1;
      return;
    }
    client.input.append(buffer, size_t(n));
    size_t nl;
    while ((nl = client.input.find('\n')) != std::string::npos) {
      std::string line = client.input.substr(0, nl);
      client.input.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      const std::string reply = Command(line) + "\n";
      // Replies are short; a control peer that does not read them is not ours to wait for.
      if (::write(client.fd, reply.data(), reply.size()) < 0) {
      }
    }
  }

  RedirDevice* DeviceAt(std::istringstream& in, std::string& error) {
    long index = -1;
    if (!(in >> index) || index < 0 || size_t(index) >= devices_.size()) {
      error = "error: no device with that number (0 to " + std::to_string(devices_.size() - 1) + ")";
      return nullptr;
    }
    return devices_[size_t(index)].get();
  }

  std::string Command(const std::string& line) {
    if (gVerbose) Log("control", line);
    std::istringstream in(line);
    std::string verb, error;
    in >> verb;
    if (verb == "status") {
      std::string s = "ok";
      for (auto& d : devices_)
        s += " " + std::to_string(d->Index()) + "=" +
             (d->Connected() ? "connected" : d->Model().Plugged() ? "plugged" : "unplugged");
      return s;
    }
    if (verb == "plug" || verb == "unplug") {
      RedirDevice* d = DeviceAt(in, error);
      if (!d) return error;
      d->Model().SetPlugged(verb == "plug");
      d->Sync();
      return "ok";
    }
    if (verb == "fault") {
      RedirDevice* d = DeviceAt(in, error);
      if (!d) return error;
      std::string json;
      std::getline(in, json);
      qmr::sim::FaultSpec fault;
      if (!qmr::sim::ParseFault(json, fault, error)) return "error: " + error;
      d->Model().AddFault(fault);
      return "ok";
    }
    if (verb == "peek-flash" || verb == "peek-sd") {
      RedirDevice* d = DeviceAt(in, error);
      if (!d) return error;
      int lun = 0;
      unsigned long long at = 0, length = 0;
      std::string file;
      if (verb == "peek-sd" && !(in >> lun)) return "error: expected peek-sd N LUN OFFSET LENGTH FILE";
      if (!(in >> at >> length >> file) || length > (1ull << 30))
        return "error: expected " + verb + " N " + (verb == "peek-sd" ? "LUN " : "") + "OFFSET LENGTH FILE";
      std::vector<uint8_t> bytes(length);
      const bool ok = verb == "peek-flash" ? d->Model().PeekFlash(at, bytes.data(), length)
                                           : d->Model().PeekSd(lun, at, bytes.data(), length);
      if (!ok) return "error: out of range";
      const std::string temp = file + ".part";
      {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        if (!out.flush()) return "error: cannot write " + temp;
      }
      if (std::rename(temp.c_str(), file.c_str()) != 0) return "error: cannot write " + file;
      return "ok";
    }
    return "error: unknown command \"" + verb + "\" (status, plug, unplug, fault, peek-flash, peek-sd)";
  }

  std::unique_ptr<qmr::sim::Bus> bus_;
  std::vector<std::unique_ptr<RedirDevice>> devices_;
  std::vector<int> listeners_;
  int control_ = -1;
  std::vector<ControlClient> clients_;
};

int Usage() {
  std::fprintf(stderr,
               "usage: ardentix-usbemu serve --config FILE --dir DIR [--verbose]\n"
               "       ardentix-usbemu ctl SOCKET COMMAND...\n");
  return 2;
}

int Serve(int argc, char** argv) {
  std::string config, dir;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--config" && i + 1 < argc)
      config = argv[++i];
    else if (a == "--dir" && i + 1 < argc)
      dir = argv[++i];
    else if (a == "--verbose")
      gVerbose = true;
    else
      return Usage();
  }
  if (config.empty() || dir.empty()) return Usage();
  struct sigaction sa{};
  sa.sa_handler = [](int) { gStop = 1; };
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  Emulator emulator;
  std::string error;
  if (!emulator.Start(config, dir, error)) {
    std::fprintf(stderr, "ardentix-usbemu: %s\n", error.c_str());
    return 1;
  }
  emulator.Run();
  Log("emulator", "stopped");
  return 0;
}

int Control(int argc, char** argv) {
  if (argc < 4) return Usage();
  std::string line;
  for (int i = 3; i < argc; ++i) line += (i > 3 ? " " : "") + std::string(argv[i]);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", argv[2]);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::fprintf(stderr, "ardentix-usbemu: %s: %s\n", argv[2], std::strerror(errno));
    return 1;
  }
  line += "\n";
  if (::write(fd, line.data(), line.size()) != ssize_t(line.size())) return 1;
  std::string reply;
  char c;
  while (::read(fd, &c, 1) == 1 && c != '\n') reply += c;
  ::close(fd);
  std::printf("%s\n", reply.c_str());
  return reply.rfind("ok", 0) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  if (command == "serve") return Serve(argc, argv);
  if (command == "ctl") return Control(argc, argv);
  return Usage();
}

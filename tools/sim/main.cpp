// orlocard-sim: plays the field devices of one reader-bus loop on a
// pseudo-terminal or a serial device, scripted through a small command
// language on stdin, from a file, or over a unix control socket.
#include <errno.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "platform/program.h"
#include "script.h"
#include "simulator.h"

namespace {

using orlo::sim::TSimScript;
using orlo::sim::TSimulator;

constexpr int kUsageError = 2;

std::mutex gOutLock;  // one writer at a time on stdout and stderr

void Say(std::FILE* f, const std::string& line) {
  std::lock_guard<std::mutex> g(gOutLock);
  std::fputs(line.c_str(), f);
  std::fputc('\n', f);
  std::fflush(f);
}

// Ends the program from any thread: the main thread waits for this signal.
void RequestExit() { ::kill(::getpid(), SIGTERM); }

// Runs command lines from a stream; output goes to stdout.
void RunCommands(TSimulator& sim, std::istream& in) {
  TSimScript script(sim);
  std::string line;
  while (std::getline(in, line)) {
    for (const auto& out : script.Execute(line)) Say(stdout, out);
    if (script.QuitRequested()) {
      RequestExit();
      return;
    }
  }
}

// One control-socket client: lines in, output lines back.
void ServeClient(TSimulator& sim, int fd) {
  TSimScript script(sim);
  std::string pending;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buf, static_cast<std::size_t>(n));
    if (pending.size() > 1 << 20) break;  // a client that never ends a line
    std::size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::string reply;
      for (const auto& out : script.Execute(line)) reply += out + "\n";
      for (std::size_t done = 0; done < reply.size();) {
        ssize_t w = ::send(fd, reply.data() + done, reply.size() - done, MSG_NOSIGNAL);
        if (w <= 0) break;
        done += static_cast<std::size_t>(w);
      }
      if (script.QuitRequested()) RequestExit();
    }
  }
  ::close(fd);
}

int ListenUnix(const std::string& path, std::string& error) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) {
    error = "control socket path too long: " + path;
    return -1;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("cannot create the control socket: ") + std::strerror(errno);
    return -1;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  std::error_code ec;
  if (std::filesystem::is_socket(path, ec)) std::filesystem::remove(path, ec);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
    error = "cannot listen on " + path + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "orlocard-sim: plays the field devices (card readers, spitters, exit readers, boards) of\n"
      "one reader-bus loop, so a loop can be tried without hardware. It creates a\n"
      "pseudo-terminal and prints its path as the first line of output (point the loop's\n"
      "COM port there in the [Ports] section of orlocard.ini), or uses a real serial device.\n"
      "Every configured address answers polls with ACK until told otherwise; reports, faults\n"
      "and silences are scripted with commands read from stdin, a --script file or the\n"
      "--control socket (\"help\" or --commands lists them). Example:\n"
      "  orlocard-sim --link /tmp/ttySIM --control /tmp/sim.sock\n"
      "  echo 'card 3 1234' | socat - UNIX-CONNECT:/tmp/sim.sock",
      "orlocard-sim"};
  std::string device, link, control, scriptFile, devices = "1-16";
  int baud = 9600, pace = 0;
  bool trace = false, listCommands = false;
  app.add_option("--device", device, "use this serial device instead of a new pseudo-terminal");
  app.add_option("--baud", baud, "line speed of --device")->default_val(9600);
  app.add_option("--pace", pace, "pace both directions like a line at this baud rate (0: unpaced)")
      ->default_val(0);
  app.add_option("--devices", devices, "addresses that answer, e.g. 1-16 or 1,3,5 (\"\" for none)")
      ->default_val("1-16");
  app.add_option("--link", link, "also make this symbolic link to the pseudo-terminal");
  app.add_option("--control", control, "listen for command lines on this unix socket");
  app.add_option("--script", scriptFile, "run the commands in this file at start");
  app.add_flag("--trace", trace, "print every received frame and every answer to stderr");
  app.add_flag("--commands", listCommands, "print the command language and exit");
  app.set_version_flag("--version", orlo::ProgramVersion());
  app.footer("The manual page orlocard-sim(1) tells more.\n");
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help, --version
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // Wrong options: the usage on stderr and status 2, as orlocard does.
    std::cerr << "orlocard-sim: " << e.what() << "\n\n" << app.help();
    return kUsageError;
  }

  if (listCommands) {
    std::cout << TSimScript::Help() << "\n";
    return 0;
  }

  // Signals are taken by the main thread only (sigwait below).
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  TSimulator sim;
  if (trace) sim.SetTrace([](const std::string& line) { Say(stderr, line); });
  {
    TSimScript setup(sim);
    if (!devices.empty()) {
      auto out = setup.Execute("devices " + devices);
      if (out.empty() || out.back().rfind("ok", 0) != 0) {
        std::cerr << "orlocard-sim: --devices: " << (out.empty() ? "" : out.back()) << "\n";
        return kUsageError;
      }
    }
    setup.Execute("pace " + std::to_string(pace));
  }
  std::string error;
  bool opened = device.empty() ? sim.OpenPty(error) : sim.OpenDevice(device, baud, error);
  if (!opened) {
    std::cerr << "orlocard-sim: " << error << "\n";
    return 1;
  }
  if (!link.empty()) {
    std::error_code ec;
    if (std::filesystem::is_symlink(link, ec)) std::filesystem::remove(link, ec);
    std::filesystem::create_symlink(sim.Path(), link, ec);
    if (ec) {
      std::cerr << "orlocard-sim: cannot make the link " << link << ": " << ec.message() << "\n";
      return 1;
    }
  }
  int listenFd = -1;
  if (!control.empty()) {
    listenFd = ListenUnix(control, error);
    if (listenFd < 0) {
      std::cerr << "orlocard-sim: " << error << "\n";
      return 1;
    }
  }
  Say(stdout, sim.Path());

  // Commands: the script first, then stdin. End of stdin does not end the
  // simulator (it may run in the background); "quit" or a signal does.
  std::thread commands([&sim, scriptFile] {
    if (!scriptFile.empty()) {
      std::ifstream in(scriptFile);
      if (!in) {
        Say(stderr, "orlocard-sim: cannot read the script " + scriptFile);
        RequestExit();
        return;
      }
      RunCommands(sim, in);
    }
    RunCommands(sim, std::cin);
  });
  commands.detach();  // may sit in a read of stdin until the process ends
  if (listenFd >= 0) {
    std::thread([&sim, listenFd] {
      for (;;) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
          if (errno == EINTR || errno == ECONNABORTED) continue;
          return;
        }
        std::thread(ServeClient, std::ref(sim), fd).detach();
      }
    }).detach();
  }

  int sig = 0;
  sigwait(&sigs, &sig);
  // Command threads may be blocked in reads or waits: release the line and
  // the files, then end the process without waiting for them.
  sim.Close();
  if (!link.empty()) {
    std::error_code ec;
    std::filesystem::remove(link, ec);
  }
  if (listenFd >= 0) {
    ::close(listenFd);
    std::error_code ec;
    std::filesystem::remove(control, ec);
  }
  {
    std::lock_guard<std::mutex> g(gOutLock);
    std::fflush(stdout);
    std::fflush(stderr);
  }
  std::_Exit(0);
}

// The serial port on real pseudo-terminals.
#include "platform/serialport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/tempdir.h"
#include "support/wait.h"

namespace orlo {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The far end of the line: a pseudo-terminal master and its slave's path.
class Pty {
 public:
  Pty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
      ADD_FAILURE() << "no pseudo-terminal";
      return;
    }
    path_ = ::ptsname(master_);
  }
  ~Pty() { CloseMaster(); }

  const std::string& path() const { return path_; }
  int master() const { return master_; }
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  void Send(const Bytes& b) { ASSERT_EQ(::write(master_, b.data(), b.size()), ssize_t(b.size())); }
  // Reads from the master until n bytes came or a generous deadline passed.
  Bytes Receive(std::size_t n) {
    Bytes out;
    test::WaitUntil(
        [&] {
          pollfd p{master_, POLLIN, 0};
          std::uint8_t buf[256];
          const ssize_t r = ::poll(&p, 1, 100) > 0 ? ::read(master_, buf, sizeof buf) : 0;
          if (r > 0) out.insert(out.end(), buf, buf + r);
          return out.size() >= n;
        },
        std::chrono::seconds(10));
    return out;
  }

 private:
  int master_ = -1;
  std::string path_;
};

// Reads from the port until n bytes came or a generous deadline passed.
Bytes ReadAll(TSerialPort& port, std::size_t n) {
  Bytes out;
  test::WaitUntil(
      [&] {
        std::uint8_t buf[256];
        const int r = port.Read(buf, sizeof buf, 200);
        if (r > 0) out.insert(out.end(), buf, buf + r);
        return r < 0 || out.size() >= n;  // a failed port ends the reading
      },
      std::chrono::seconds(10));
  return out;
}

TEST(SerialPort, PassesEveryByteValueUnchangedBothWays) {
  Pty pty;
  auto port = MakeSerialPort();
  std::string error;
  ASSERT_TRUE(port->Open(pty.path(), 9600, error)) << error;
  EXPECT_TRUE(port->IsOpen());

  // Raw line: no echo, no CR/LF mapping, no XON/XOFF, no signal characters.
  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
  pty.Send(all);
  EXPECT_EQ(ReadAll(*port, all.size()), all);

  ASSERT_TRUE(port->Write(all.data(), all.size()));
  EXPECT_EQ(pty.Receive(all.size()), all);
}

TEST(SerialPort, SecondOpenerFailsUntilFirstCloses) {
  Pty pty;
  auto first = MakeSerialPort();
  auto second = MakeSerialPort();
  std::string error;
  ASSERT_TRUE(first->Open(pty.path(), 19200, error)) << error;
  EXPECT_FALSE(second->Open(pty.path(), 19200, error));
  EXPECT_NE(error.find(pty.path()), std::string::npos) << error;
  EXPECT_FALSE(second->IsOpen());

  // Closing clears the exclusive flag, so a restart can open the port again.
  first->Close();
  EXPECT_FALSE(first->IsOpen());
  error.clear();
  EXPECT_TRUE(second->Open(pty.path(), 19200, error)) << error;
}

TEST(SerialPort, OpenRefusesBadRatesAndMissingOrNonSerialDevices) {
  Pty pty;
  auto port = MakeSerialPort();
  std::string error;
  EXPECT_FALSE(port->Open(pty.path(), 12345, error));
  EXPECT_NE(error.find("baud"), std::string::npos) << error;
  EXPECT_FALSE(port->Open(pty.path(), 0, error));
  EXPECT_FALSE(port->Open(pty.path(), -9600, error));
  EXPECT_FALSE(port->IsOpen());
  EXPECT_FALSE(IsStandardBaud(12345));
  EXPECT_TRUE(IsStandardBaud(9600));
  EXPECT_TRUE(IsStandardBaud(115200));

  error.clear();
  EXPECT_FALSE(port->Open("/dev/orlo-no-such-port", 9600, error));
  EXPECT_NE(error.find("/dev/orlo-no-such-port"), std::string::npos);

  test::TempDir dir;
  std::string file = dir.file("plain");
  ::close(::open(file.c_str(), O_CREAT | O_WRONLY, 0600));
  error.clear();
  EXPECT_FALSE(port->Open(file, 9600, error));
  EXPECT_FALSE(error.empty());

  // The refused opens left nothing behind: the port opens normally.
  EXPECT_TRUE(port->Open(pty.path(), 9600, error)) << error;
}

TEST(SerialPort, CallsOnAClosedPortFailQuietly) {
  auto port = MakeSerialPort();
  std::uint8_t b = 0x43;
  EXPECT_FALSE(port->Write(&b, 1));
  EXPECT_EQ(port->Read(&b, 1, 10), -1);
  port->Purge();
  port->Close();
}

TEST(SerialPort, ReadTimesOutWithZeroAndPurgeDropsWaitingBytes) {
  Pty pty;
  // A second descriptor on the slave lets the test see the receive queue.
  int watch = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(watch, 0);
  auto port = MakeSerialPort();
  std::string error;
  ASSERT_TRUE(port->Open(pty.path(), 9600, error)) << error;
  std::uint8_t buf[16];
  EXPECT_EQ(port->Read(buf, sizeof buf, 30), 0);

  pty.Send({'s', 't', 'a', 'l', 'e'});
  int waiting = 0;
  test::WaitUntil([&] { return ::ioctl(watch, FIONREAD, &waiting) == 0 && waiting >= 5; },
                  std::chrono::seconds(10));
  ASSERT_EQ(waiting, 5);
  port->Purge();
  EXPECT_EQ(port->Read(buf, sizeof buf, 50), 0);

  pty.Send({0x06});
  EXPECT_EQ(ReadAll(*port, 1), Bytes{0x06});
  ::close(watch);
}

TEST(SerialPort, DeviceVanishingMidReadFailsWithoutSpinning) {
  Pty pty;
  auto port = MakeSerialPort();
  std::string error;
  ASSERT_TRUE(port->Open(pty.path(), 9600, error)) << error;

  int result = 0;
  auto start0 = std::chrono::steady_clock::now();
  std::thread reader([&] {
    std::uint8_t buf[16];
    result = port->Read(buf, sizeof buf, 20000);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  pty.CloseMaster();
  reader.join();
  EXPECT_EQ(result, -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start0, std::chrono::seconds(15))
      << "hang-up not seen";

  // Every later call fails, and a read still waits out its time-out, so a
  // caller polling the dead line does not burn the processor.
  std::uint8_t b = 0x31;
  EXPECT_FALSE(port->Write(&b, 1));
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(port->Read(&b, 1, 40), -1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_TRUE(port->IsOpen());
  port->Close();
  EXPECT_FALSE(port->IsOpen());
}

// A port named by a link: when its line vanishes and the link is pointed at a
// new line, the port finds the new one by itself (a bare pseudo-terminal
// name is never opened again, see above).
TEST(SerialPort, ALinkedLineThatVanishesIsFoundAgainThroughItsLink) {
  test::TempDir dir;
  const std::string link = dir.file("com1");
  auto first = std::make_unique<Pty>();
  std::filesystem::create_symlink(first->path(), link);
  auto port = MakeSerialPort();
  std::string error;
  ASSERT_TRUE(port->Open(link, 9600, error)) << error;
  first->CloseMaster();
  std::uint8_t buf[4];
  EXPECT_EQ(port->Read(buf, sizeof buf, 2000), -1);

  Pty second;
  std::filesystem::remove(link);
  std::filesystem::create_symlink(second.path(), link);
  const Bytes hello{0x02, 0x31, 0x43};
  ASSERT_TRUE(test::WaitUntil([&] { return port->Write(hello.data(), hello.size()); },
                              std::chrono::seconds(20)))
      << "the port never opened the new line";
  EXPECT_EQ(second.Receive(hello.size()), hello);
}

}  // namespace
}  // namespace orlo

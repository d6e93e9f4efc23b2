// The simulator's command language, through TSimScript and through the
// orlocard-sim program itself.
#include "script.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "simfixture.h"
#include "support/tempdir.h"

namespace orlo::sim {
namespace {

using test::Bytes;
using test::SimTest;

class ScriptTest : public SimTest {
 protected:
  // Runs one line; returns its last output line.
  std::string Run(const std::string& line) {
    auto out = script.Execute(line);
    return out.empty() ? std::string() : out.back();
  }
  TSimScript script{sim};
};

TEST_F(ScriptTest, ReportCommandsQueueTheRightFrames) {
  EXPECT_EQ(Run("devices 1-3,5 9"), "ok");
  EXPECT_EQ(sim.Status().size(), 5u);
  EXPECT_EQ(Run("card 1 12345678"), "ok queued=1");
  EXPECT_EQ(Run("barcode 1 0123456789"), "ok queued=2");
  EXPECT_EQ(Run("ticket 2 0815300102 42 1"), "ok queued=1");
  EXPECT_EQ(Run("board 3 4 12-2"), "ok queued=1");
  EXPECT_EQ(Run("button 5 3 up"), "ok queued=1");
  EXPECT_EQ(Run("reply 9 Z cash\\s5\\x21"), "ok queued=1");
  EXPECT_EQ(Run("powerup 9 p"), "ok queued=2");
  EXPECT_EQ(Run("counters 2 01234"), "ok");

  EXPECT_EQ(Poll(1), EncodeReply(0x31, 'C', "12345678"));
  EXPECT_EQ(Poll(1), EncodeReply(0x31, '#', "0123456789"));
  EXPECT_EQ(Poll(2), EncodeReply(0x32, 'C', "10815300102000042"));
  EXPECT_EQ(Poll(2, 'R'), EncodeReply(0x32, 'R', "01234"));
  EXPECT_EQ(Poll(3), EncodeReply(0x33, 'L', "41202"));
  EXPECT_EQ(Poll(5), EncodeReply(0x35, 'K', "31"));
  EXPECT_EQ(Poll(9), EncodeReply(0x39, 'Z', "cash 5!"));
  EXPECT_EQ(Poll(9), EncodeReply(0x39, 'p', ""));
  EXPECT_EQ(Poll(9), Bytes({kAck}));
}

TEST_F(ScriptTest, FaultOptionsOfflineAndSilence) {
  Run("devices 4");
  EXPECT_EQ(Run("card -badcheck -noise 2020 -split 3:10 -from 6 4 77"), "ok queued=1");
  std::string want = Bytes({0x20}) + EncodeReply(0x36, 'C', "77");  // first noise byte ...
  want = Bytes({0x20}) + want;
  want.back() = static_cast<char>(want.back() ^ 0x5A);
  EXPECT_EQ(Poll(4), want);
  EXPECT_EQ(Run("raw -to G 4 01 34 43 06"), "ok queued=1");
  EXPECT_EQ(Poll(4), Bytes({kAck}));  // a poll does not take an answer meant for 'G'
  EXPECT_EQ(Poll(4, 'G', "000"), Bytes({0x01, 0x34, 0x43, 0x06}));

  EXPECT_EQ(Run("offline 4"), "ok");
  EXPECT_EQ(PollSilent(4), "");
  EXPECT_EQ(Run("online all"), "ok");
  EXPECT_EQ(Poll(4), Bytes({kAck}));
  EXPECT_EQ(Run("silent 4 2 R"), "ok queued=1");
  EXPECT_EQ(Poll(4), Bytes({kAck}));
  EXPECT_EQ(PollSilent(4, 'R'), "");
  EXPECT_EQ(PollSilent(4, 'R'), "");
  EXPECT_EQ(Poll(4, 'R'), Bytes({kAck}));
  EXPECT_EQ(Run("restart 4"), "ok queued=1");
  EXPECT_EQ(Poll(4), EncodeReply(0x34, 'P', ""));
}

TEST_F(ScriptTest, RecordCommandsListCountAndWait) {
  Run("devices 1");
  Poll(1);
  Poll(1, 'G', "005Open \"x\"");
  EXPECT_EQ(Run("count"), "ok count=2");
  EXPECT_EQ(Run("count 1 G"), "ok count=1");
  EXPECT_EQ(Run("count * C"), "ok count=1");
  EXPECT_EQ(Run("wait 1 G 1 5000"), "ok count=1");
  EXPECT_EQ(Run("wait 1 X 1 0"), "error timeout count=0");
  auto out = script.Execute("frames 2");
  ASSERT_EQ(out.size(), 2u);
  EXPECT_NE(out[0].find("frame 2 ms="), std::string::npos) << out[0];
  EXPECT_NE(out[0].find(" start=STX addr=1 cmd=G data=\"005Open \\x22x\\x22\" check=ok answer=06"),
            std::string::npos)
      << out[0];
  EXPECT_EQ(out[1], "ok frames=1");
  EXPECT_EQ(Run("forget"), "ok");
  EXPECT_EQ(Run("count"), "ok count=0");
}

TEST_F(ScriptTest, BadCommandsAnswerErrorsAndChangeNothing) {
  for (const char* bad : {"card 0 1", "card 17 1", "card x 1", "devices", "devices 5-2",
                          "board 1 16 12", "board 1 2 123", "ticket 1 short 1", "button 1 3 left",
                          "reply 1 CC x", "raw 1 0", "raw 1 zz", "card -bogus 1 1", "pace -1",
                          "delay 1", "nonsense", "powerup 1 Q", "card 1 \\x4", "counters 1"}) {
    std::string r = Run(bad);
    EXPECT_EQ(r.rfind("error", 0), 0u) << bad << " -> " << r;
  }
  EXPECT_TRUE(sim.Status().empty());
  EXPECT_EQ(Run("# a comment"), "");
  EXPECT_EQ(Run("   "), "");
  auto help = script.Execute("help");
  EXPECT_GT(help.size(), 10u);
  EXPECT_EQ(help.back(), "ok");
}

TEST(EscapesAndHex, DecodeAndRefuse) {
  std::string out, error;
  EXPECT_TRUE(Unescape("a\\sb\\x01\\\\\\0", out, error));
  EXPECT_EQ(out, std::string("a b\x01\\\0", 6));
  EXPECT_FALSE(Unescape("a\\", out, error));
  EXPECT_FALSE(Unescape("\\xG1", out, error));
  EXPECT_FALSE(Unescape("\\q", out, error));
  EXPECT_TRUE(ParseHex("02 31,43:03", out, error));
  EXPECT_EQ(out, Bytes({0x02, 0x31, 0x43, 0x03}));
  EXPECT_FALSE(ParseHex("123", out, error));
  EXPECT_FALSE(ParseHex("", out, error));
}

// --- the program ---------------------------------------------------------

// Starts orlocard-sim with the arguments; stdin and stdout are pipes.
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      std::vector<char*> argv;
      std::string prog = ORLO_SIM_PROGRAM;
      argv.push_back(prog.data());
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(prog.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    toChild_ = in[1];
    fromChild_ = ::fdopen(out[0], "r");
  }
  ~Program() {
    if (toChild_ >= 0) ::close(toChild_);
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGTERM);
      Wait();
    }
    if (fromChild_) std::fclose(fromChild_);
  }
  std::string Line() {
    char buf[1024];
    if (!fromChild_ || !std::fgets(buf, sizeof buf, fromChild_)) return "";
    std::string s = buf;
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }
  std::string Rest() {
    std::string all;
    char buf[1024];
    std::size_t n;
    while (fromChild_ && (n = std::fread(buf, 1, sizeof buf, fromChild_)) > 0) all.append(buf, n);
    return all;
  }
  void Send(const std::string& line) {
    std::string l = line + "\n";
    ASSERT_EQ(::write(toChild_, l.data(), l.size()), ssize_t(l.size()));
  }
  int Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int toChild_ = -1;
  std::FILE* fromChild_ = nullptr;
  bool exited_ = false;
};

TEST(SimProgram, HelpExplainsTheTool) {
  Program p({"--help"});
  std::string all = p.Rest();
  EXPECT_EQ(p.Wait(), 0);
  EXPECT_NE(all.find("pseudo-terminal"), std::string::npos) << all;
  EXPECT_NE(all.find("--control"), std::string::npos);
  EXPECT_NE(all.find("--pace"), std::string::npos);

  Program c({"--commands"});
  std::string commands = c.Rest();
  EXPECT_EQ(c.Wait(), 0);
  EXPECT_NE(commands.find("untilack"), std::string::npos) << commands;
}

TEST(SimProgram, BadOptionsExitNonZero) {
  Program p({"--devices", "0-99"});
  EXPECT_NE(p.Wait(), 0);
  Program q({"--device", "/dev/orlo-none"});
  EXPECT_NE(q.Wait(), 0);
}

TEST(SimProgram, DrivenFromStdinAndTheControlSocket) {
  orlo::test::TempDir dir;
  std::string sock = dir.file("sim.sock");
  std::string link = dir.file("ttySIM");
  std::ofstream(dir.file("start.sim")) << "# start-up script\ncounters 2 00001\n";
  Program p(
      {"--devices", "1,2", "--control", sock, "--link", link, "--script", dir.file("start.sim")});
  std::string path = p.Line();
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
  EXPECT_EQ(p.Line(), "ok");  // the script's command

  auto port = MakeSerialPort();
  std::string error;
  ASSERT_TRUE(port->Open(link, 9600, error)) << error;  // through the link

  p.Send("card 1 4711");
  EXPECT_EQ(p.Line(), "ok queued=1");
  std::string frame = EncodeCommand(1, 'C', "");
  ASSERT_TRUE(port->Write(reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size()));
  std::string want = EncodeReply(0x31, 'C', "4711");
  std::string got;
  while (got.size() < want.size()) {
    std::uint8_t buf[32];
    int n = port->Read(buf, sizeof buf, 5000);
    if (n <= 0) break;
    got.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n));
  }
  EXPECT_EQ(got, want);

  // A second client on the control socket sees the same simulator.
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  std::string cmd = "wait 1 C 1 10000\nstatus\nquit\n";
  ASSERT_EQ(::write(fd, cmd.data(), cmd.size()), ssize_t(cmd.size()));
  std::string reply;
  char buf[1024];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) {
    reply.append(buf, static_cast<std::size_t>(n));
    if (reply.find("ok bye") != std::string::npos) break;
  }
  ::close(fd);
  EXPECT_NE(reply.find("ok count=1\n"), std::string::npos) << reply;
  EXPECT_NE(reply.find("device 2 online queued=0 delay=0 counters=\"00001\""), std::string::npos)
      << reply;
  EXPECT_EQ(p.Wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(link));
  EXPECT_FALSE(std::filesystem::exists(sock));
}

}  // namespace
}  // namespace orlo::sim

namespace orlo::sim {
namespace {

TEST_F(ScriptTest, EveryRepeatsACommandUntilStopped) {
  Run("devices 1");
  EXPECT_EQ(Run("every 5 card 1 42"), "ok repeaters=1");
  EXPECT_EQ(Run("every 5 quit").rfind("error", 0), 0u);
  EXPECT_EQ(Run("every 0 card 1 1").rfind("error", 0), 0u);
  // Wait until the repeater has queued at least two reports.
  for (int i = 0; i < 2000 && sim.Queued(1) < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GE(sim.Queued(1), 2u);
  EXPECT_EQ(Run("every stop"), "ok");
  std::size_t queued = sim.Queued(1);
  EXPECT_EQ(Poll(1), EncodeReply(0x31, 'C', "42"));
  EXPECT_EQ(sim.Queued(1), queued - 1) << "nothing queued after the stop";
}

}  // namespace
}  // namespace orlo::sim

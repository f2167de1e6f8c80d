// Live passes: a simulated pass played to vantrel-cli as a growing file, through standard input
// and from a local TCP server, faster than real time; each must give the product of the same
// samples processed afterwards, end for the reason given, and say what it dropped.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/programs.h"
#include "tests/support/shell.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

using testing::Cli;
using testing::Contains;
using testing::ProgramRun;
using testing::Shell;

constexpr const char* kProduct = "MetopB_20181231_1015_M03.hpt";
constexpr const char* kHardOptions = "--satellite metop-b --input hard --derandomize";
constexpr const char* kBasebandOptions =
    "--satellite metop-b --baseband-format cs16 --samplerate 6000000";

// Writes `data` to `path` in `pieces` pieces with `pause` between them, as a recorder does.
void WriteInPieces(const std::string& path, const std::vector<uint8_t>& data, int pieces,
                   std::chrono::milliseconds pause) {
  std::ofstream out(path, std::ios::binary);
  const size_t step = (data.size() + pieces - 1) / pieces;
  for (size_t at = 0; at < data.size(); at += step) {
    out.write(reinterpret_cast<const char*>(data.data() + at),
              static_cast<std::streamsize>(std::min(step, data.size() - at)));
    out.flush();
    std::this_thread::sleep_for(pause);
  }
}

// A one-client TCP server on 127.0.0.1: plays `data` in pieces (after rtl_tcp's greeting when
// asked), then closes, or stalls until the client goes. Keeps what the client sent.
class PlayServer {
 public:
  PlayServer(std::vector<uint8_t> data, bool rtl, bool stall)
      : data_(std::move(data)), rtl_(rtl), stall_(stall) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      ADD_FAILURE() << "no local server";
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~PlayServer() {
    thread_.join();
    ::close(listener_);
  }
  int port() const { return port_; }
  // What the client sent (read once the server is done).
  std::vector<uint8_t> Received() {
    thread_.join();
    thread_ = std::thread([] {});
    return received_;
  }

 private:
  void Serve() {
    // Bounded: a client that never comes ends the server after 20 s.
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, 20000) != 1) return;
    const int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    if (rtl_) {
      const uint8_t greeting[12] = {'R', 'T', 'L', '0', 0, 0, 0, 5, 0, 0, 0, 29};
      ::send(client, greeting, sizeof greeting, MSG_NOSIGNAL);
    }
    constexpr size_t kPiece = size_t{1} << 16;
    for (size_t at = 0; at < data_.size(); at += kPiece) {
      const size_t size = std::min(kPiece, data_.size() - at);
      if (::send(client, data_.data() + at, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size))
        break;
      if (at % (kPiece * 16) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Whatever the client sends, until it closes (a stalled server waits for that; 20 s at most).
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    if (!stall_) ::shutdown(client, SHUT_WR);
    uint8_t piece[64];
    while (std::chrono::steady_clock::now() < until) {
      pollfd readable{client, POLLIN, 0};
      if (::poll(&readable, 1, 100) != 1) {
        if (!stall_) break;
        continue;
      }
      const ssize_t got = ::recv(client, piece, sizeof piece, 0);
      if (got <= 0) break;
      received_.insert(received_.end(), piece, piece + got);
    }
    ::close(client);
  }

  std::vector<uint8_t> data_;
  bool rtl_;
  bool stall_;
  int listener_ = -1;
  int port_ = 0;
  std::vector<uint8_t> received_;
  std::thread thread_;
};

class LiveInput : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new testing::TempFolder;
    testing::Simulate("--sat metop --packets 12", folder_->File("pass.bin"));
    testing::Simulate("--sat metop --packets 6 --baseband cs16 --esn0 15",
                      folder_->File("pass.cs16"));
    // The products of the recordings processed afterwards, as a whole.
    for (const auto& [name, options] :
         {std::pair{"pass.bin", kHardOptions}, std::pair{"pass.cs16", kBasebandOptions}}) {
      const std::string dir = folder_->File(std::string("offline-") + name);
      const ProgramRun run = Shell(Cli(std::string(name) + " -q " + options + " -C " + dir));
      ASSERT_EQ(run.status, 0) << run.output;
    }
  }
  static void TearDownTestSuite() {
    delete folder_;
    folder_ = nullptr;
  }
  static std::vector<uint8_t> Offline(const std::string& name) {
    return testing::ReadFileBytes(folder_->File("offline-" + name + "/" + kProduct));
  }
  static std::vector<uint8_t> Recording(const std::string& name) {
    return testing::ReadFileBytes(folder_->File(name));
  }
  // A folder of its own for each row, named after it.
  static std::string Dir(std::string row) {
    for (char& c : row)
      if (c == ' ' || c == ',') c = '-';
    const std::string dir = folder_->File("live-" + row);
    std::filesystem::create_directories(dir);
    return dir;
  }

  static testing::TempFolder* folder_;
};
testing::TempFolder* LiveInput::folder_ = nullptr;

// One way a pass arrives and ends: how it is played, the command, and what the log must say.
struct LiveCase {
  const char* name;
  const char* recording;
  // Starts the player (a thread, or nothing) and returns the command line's arguments.
  std::function<std::string(const std::string& dir, std::thread& player,
                            std::unique_ptr<PlayServer>& server)>
      play;
  const char* ends_with;  // the log's reason for the end
  bool whole = true;      // every byte arrived before the end: the offline product
  const char* env = "";   // put before the command
  const char* says = "";  // the log also says this
};

// A memory buffer far smaller than the stream's bursts: the chain falls behind at once.
constexpr const char* kSmallMemory = "VANTREL_LIVE_BUFFER_BYTES=1048576 ";

TEST_F(LiveInput, EachSourceGivesTheOfflineProductAndSaysWhyItEnded) {
  const std::vector<LiveCase> cases = {
      {"growing file, idle", "pass.bin",
       [](const std::string& dir, std::thread& player, auto&) {
         player = std::thread(WriteInPieces, dir + "/rec.bin", Recording("pass.bin"), 6,
                              std::chrono::milliseconds(150));
         std::this_thread::sleep_for(std::chrono::milliseconds(50));
         return dir + "/rec.bin --follow --follow-idle 1 " + kHardOptions;
       },
       "has not grown for 1 s"},
      {"growing file, renamed", "pass.bin",
       [](const std::string& dir, std::thread& player, auto&) {
         player = std::thread([dir] {
           WriteInPieces(dir + "/rec.bin.part", Recording("pass.bin"), 6,
                         std::chrono::milliseconds(150));
           std::filesystem::rename(dir + "/rec.bin.part", dir + "/rec.bin");
         });
         std::this_thread::sleep_for(std::chrono::milliseconds(50));
         return dir + "/rec.bin.part --follow --follow-idle 30 " + kHardOptions;
       },
       "was renamed"},
      {"standard input", "pass.bin",
       [](const std::string&, std::thread&, auto&) {
         return std::string("- ") + kHardOptions + " < " + folder_->File("pass.bin");
       },
       "standard input closed"},
      {"standard input, SIGTERM", "pass.bin",
       [](const std::string& dir, std::thread&, auto&) {
         // The pipe stays open after the pass: only the signal ends it.
         return std::string("- ") + kHardOptions + " --report " + dir +
                "/r.json < <(exec 2>/dev/null; cat " + folder_->File("pass.bin") +
                "; exec sleep 8) & pid=$!; sleep 2; kill -TERM $pid; wait $pid";
       },
       "signal 15 asked the input to end"},
      {"rtl_tcp server", "pass.cs16",
       [](const std::string&, std::thread&, std::unique_ptr<PlayServer>& server) {
         server = std::make_unique<PlayServer>(Recording("pass.cs16"), true, false);
         return "tcp://127.0.0.1:" + std::to_string(server->port()) + " " + kBasebandOptions;
       },
       "closed"},
      {"stalled TCP stream", "pass.bin",
       [](const std::string&, std::thread&, std::unique_ptr<PlayServer>& server) {
         server = std::make_unique<PlayServer>(Recording("pass.bin"), false, true);
         return "tcp://127.0.0.1:" + std::to_string(server->port()) + " --follow-idle 1 " +
                kHardOptions;
       },
       "for 1 s"},
      // A sender faster than the chain: memory fills, the rest waits in the temporary file.
      {"standard input, spilled", "pass.cs16",
       [](const std::string&, std::thread&, auto&) {
         return std::string("- ") + kBasebandOptions + " < " + folder_->File("pass.cs16");
       },
       "standard input closed", true, kSmallMemory, "MiB went through it"},
      // The satellite from a stream's start, held in its buffer (spilling meanwhile) and read
      // again by the chain from its first byte.
      {"auto, TCP", "pass.cs16",
       [](const std::string&, std::thread&, std::unique_ptr<PlayServer>& server) {
         server = std::make_unique<PlayServer>(Recording("pass.cs16"), false, false);
         return "tcp://127.0.0.1:" + std::to_string(server->port()) +
                " --satellite auto --baseband-format cs16 --samplerate 6000000";
       },
       "closed", true, kSmallMemory, "Satellite found in the data: MetOp-B"},
      {"auto, standard input, hard bits", "pass.bin",
       [](const std::string&, std::thread&, auto&) {
         return "- --satellite auto --input hard < " + folder_->File("pass.bin");
       },
       "standard input closed", true, "", "Satellite found in the data: MetOp-B"},
  };
  for (const LiveCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = Dir(c.name);
    std::thread player;
    std::unique_ptr<PlayServer> server;
    const std::string args = c.play(dir, player, server);
    // bash for the process substitution of the SIGTERM row.
    const ProgramRun run =
        Shell("bash -c '" + std::string(c.env) + Cli("-C \"" + dir + "\" " + args) + "'");
    if (player.joinable()) player.join();
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Contains(run.output, c.ends_with)) << run.output;
    EXPECT_TRUE(Contains(run.output, c.says)) << run.output;
    EXPECT_TRUE(Contains(run.output, "0 samples dropped")) << run.output;
    EXPECT_TRUE(testing::FileExists(dir + "/" + kProduct));
    if (testing::FileExists(dir + "/" + kProduct)) {
      EXPECT_EQ(testing::ReadFileBytes(dir + "/" + kProduct), Offline(c.recording));
    }
    if (server && std::string(c.name) == "rtl_tcp server") {
      // The rate asked of rtl_tcp: command 0x02, 6000000 big-endian.
      EXPECT_EQ(server->Received(), (std::vector<uint8_t>{0x02, 0x00, 0x5b, 0x8d, 0x80}));
      EXPECT_TRUE(Contains(run.output, "rtl_tcp server (tuner type 5, 29 gains)"));
    }
  }
}

TEST_F(LiveInput, DurationEndsAFileThatKeepsGrowing) {
  const std::string dir = Dir("duration");
  // The recorder writes the pass slowly and then goes on writing noise past the duration. It has
  // made its file before the run starts, as a recorder has before it is followed.
  const std::vector<uint8_t> data = Recording("pass.bin");
  testing::WriteFileBytes(dir + "/rec.bin", {});
  std::thread player([dir, &data] {
    WriteInPieces(dir + "/rec.bin", data, 4, std::chrono::milliseconds(100));
    std::ofstream out(dir + "/rec.bin", std::ios::binary | std::ios::app);
    for (int i = 0; i < 25; ++i) {
      out.write(std::string(4096, '\x55').data(), 4096);
      out.flush();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  const auto started = std::chrono::steady_clock::now();
  const ProgramRun run = Shell(
      Cli(dir + "/rec.bin --follow --duration 2 --follow-idle 30 " + kHardOptions + " -C " + dir));
  const auto took = std::chrono::steady_clock::now() - started;
  player.join();
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Contains(run.output, "--duration 2 s passed")) << run.output;
  EXPECT_LT(took, std::chrono::seconds(8));
  EXPECT_EQ(testing::ReadFileBytes(dir + "/" + kProduct), Offline("pass.bin"));
}

TEST_F(LiveInput, AStreamFasterThanItsBufferDropsAndSaysSo) {
  // A file on standard input comes at the disk's speed, far faster than the chain: a memory
  // buffer of 1 MiB cannot hold it, nor a temporary file that is missing, small or unwritable.
  const struct {
    const char* name;
    const char* env;
    const char* says;
  } rows[] = {
      {"memory only", "VANTREL_LIVE_SPILL_BYTES=0", "Dropped"},
      {"small temporary file", "VANTREL_LIVE_SPILL_BYTES=2097152",
       "The stream's temporary file is full (2 MiB)"},
      // A file size limit stands for a full disk: a write of the temporary file fails.
      {"temporary file cannot be written", "trap '' XFSZ; ulimit -f 3072;",
       "(File too large): the stream goes on in memory only (1 MiB), and what does not fit is "
       "dropped"},
      // A folder that is a file: the temporary file cannot be made there.
      {"no temporary file", "TMPDIR={dir}/file",
       "Cannot make the stream's temporary file in '{dir}/file' (Not a directory): the stream is "
       "buffered in memory only (1 MiB)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string dir = Dir(std::string("drops ") + row.name);
    const auto in_dir = [&dir](std::string text) {
      return std::regex_replace(text, std::regex("\\{dir\\}"), dir);
    };
    testing::WriteFileBytes(dir + "/file", {});
    const ProgramRun run = Shell(in_dir(row.env) + " " + kSmallMemory +
                                 Cli(std::string("- ") + kBasebandOptions + " --report " + dir +
                                     "/r.json -C " + dir + " < " + folder_->File("pass.cs16")));
    EXPECT_TRUE(run.status == 0 || run.status == 1) << run.output;
    EXPECT_TRUE(Contains(run.output, in_dir(row.says))) << run.output;
    const std::vector<uint8_t> bytes = testing::ReadFileBytes(dir + "/r.json");
    const std::string report(bytes.begin(), bytes.end());
    std::smatch found;
    ASSERT_TRUE(std::regex_search(report, found,
                                  std::regex("\"input_bytes\":(\\d+).*\"dropped_samples\":(\\d+)")))
        << report;
    const long long used = std::stoll(found[1]);
    const long long dropped = std::stoll(found[2]);
    EXPECT_GT(dropped, 0);
    // Nothing lost silently: what was used and what was dropped (4-byte samples) are the stream.
    EXPECT_EQ(used + 4 * dropped, static_cast<long long>(Recording("pass.cs16").size()));
    EXPECT_TRUE(std::regex_search(run.output,
                                  std::regex("Dropped \\d+ samples at \\d+\\.\\d s \\(the chain "
                                             "fell behind\\)")))
        << run.output;
  }
}

TEST_F(LiveInput, ClearMessagesForStreamsThatCannotBeRead) {
  // A port nobody listens on: bind one, close it, connect there.
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ::close(probe);
  const std::string port = std::to_string(ntohs(address.sin_port));
  ProgramRun run = Shell(Cli("tcp://127.0.0.1:" + port + " -q " + kHardOptions));
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.output, "Cannot connect to 127.0.0.1:" + port + " (Connection refused"))
      << run.output;

  // A stream has no name to tell its satellite or kind: usage errors.
  for (const char* args : {"- --input hard", "- --satellite metop-b", "- --satellite auto",
                           "- --satellite metop-b --input baseband",
                           "tcp://127.0.0.1:1 --satellite metop-b --baseband-format cs16",
                           "tcp://nowhere --satellite metop-b --input hard --follow-idle 0"}) {
    run = Shell(Cli(args));
    EXPECT_EQ(run.status, 2) << args << "\n" << run.output;
  }
  run = Shell(Cli(std::string("tcp://localhost ") + kHardOptions));
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.output, "is not a stream address: it is tcp://HOST:PORT")) << run.output;
}

}  // namespace
}  // namespace vantrel

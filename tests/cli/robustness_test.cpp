// palvara-cli as a hostile user meets it, run as a separate process: inputs that are not
// stores, signals at every phase of a recovery, a full disk, runs at the same time. No run may
// hang or abort, each ends with the exit status of its outcome and a message that says why.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "tests/support/test_data.h"
#include "writer/sample_generator.h"
#include "writer/store_check.h"

extern char** environ;

namespace palvara {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kRunLimit = std::chrono::seconds(120);

struct Finished {
  bool timedOut = false;
  int code = -1;    // exit status, when it exited
  int signal = 0;   // the signal that ended it, when one did
  long peakResidentKb = 0;  // sampled while it ran (VmHWM of the program itself, after exec)
  std::string out, err;
};

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// One palvara-cli process with its own settings (activity log in `home`) and temporary folder
// (`home`/tmp); stdout and stderr go to files in `home`.
class CliProcess {
 public:
  struct Options {
    std::vector<std::string> env;    // more "NAME=value" entries
    std::function<void()> inChild;   // runs in the child before exec (limits, signal dispositions)
  };

  CliProcess(const fs::path& home, const std::vector<std::string>& args, Options options = {})
      : home_(home), tag_(std::to_string(counter_++)) {
    fs::create_directories(home / "tmp");
    std::ofstream(home / "PV_PST.ini") << "[PV_PST]\nLogPath=" << home.string() << "\n";
    std::vector<std::string> env = {"PALVARA_SETTINGS=" + (home / "PV_PST.ini").string(),
                                    "TMPDIR=" + (home / "tmp").string(),
                                    // A sanitizer report must not pass for an exit status.
                                    "ASAN_OPTIONS=exitcode=86", "UBSAN_OPTIONS=exitcode=87"};
    env.insert(env.end(), options.env.begin(), options.env.end());
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('='));
      if (name != "PALVARA_SETTINGS" && name != "TMPDIR" && name != "ASAN_OPTIONS" &&
          name != "UBSAN_OPTIONS") {
        env.push_back(entry);
      }
    }
    std::vector<std::string> argv = {PALVARA_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argp, envp;
    for (auto& a : argv) argp.push_back(a.data());
    argp.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string out = OutPath().string(), err = ErrPath().string();
    pid_ = ::fork();
    if (pid_ == 0) {
      const int in = ::open("/dev/null", O_RDONLY);
      const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(in, 0);
      ::dup2(o, 1);
      ::dup2(e, 2);
      if (options.inChild) options.inChild();
      ::execve(argp[0], argp.data(), envp.data());
      ::_exit(127);
    }
  }
  ~CliProcess() {
    if (!reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  pid_t pid() const { return pid_; }
  bool Running() {
    if (reaped_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) {
      SamplePeakResident();
      return true;
    }
    Reaped(status);
    return false;
  }

  Finished Wait() {
    const auto deadline = Clock::now() + kRunLimit;
    while (Running()) {
      if (Clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        Reaped(status);
        result_.timedOut = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    result_.out = ReadAll(OutPath());
    result_.err = ReadAll(ErrPath());
    return result_;
  }

 private:
  // The rusage of a forked child counts the parent's pages it held before exec: the figure is
  // read from the running program instead.
  void SamplePeakResident() {
    std::ifstream comm("/proc/" + std::to_string(pid_) + "/comm");
    std::string name;
    if (!std::getline(comm, name) || name != "palvara-cli") return;  // not yet exec'd
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmHWM:", 0) == 0) {
        result_.peakResidentKb = std::max(result_.peakResidentKb, std::stol(line.substr(6)));
      }
    }
  }

  fs::path OutPath() const { return home_ / ("out-" + tag_); }
  fs::path ErrPath() const { return home_ / ("err-" + tag_); }
  void Reaped(int status) {
    reaped_ = true;
    if (WIFEXITED(status)) result_.code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result_.signal = WTERMSIG(status);
  }

  static inline int counter_ = 0;
  fs::path home_;
  std::string tag_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  Finished result_;
};

Finished RunCli(const fs::path& home, const std::vector<std::string>& args,
                CliProcess::Options options = {}) {
  CliProcess p(home, args, std::move(options));
  return p.Wait();
}

// The files in `folder` whose names end in `suffix`, and the ones that contain `part`.
std::vector<fs::path> FilesEndingIn(const fs::path& folder, const std::string& suffix) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    if (e.path().filename().string().ends_with(suffix)) found.push_back(e.path());
  }
  return found;
}
std::vector<fs::path> EntriesContaining(const fs::path& folder, const std::string& part) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    if (e.path().filename().string().find(part) != std::string::npos) found.push_back(e.path());
  }
  return found;
}

class CliRobustnessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sampleDir_ = fs::temp_directory_path() / ("palvara-robust-sample-" + std::to_string(::getpid()));
    fs::create_directories(sampleDir_);
  }
  static void TearDownTestSuite() { fs::remove_all(sampleDir_); }

  // A sample store with `messages` messages, made on first use.
  static fs::path SampleOf(std::uint64_t messages) {
    const fs::path path = sampleDir_ / ("sample" + std::to_string(messages) + ".pst");
    if (!fs::exists(path)) {
      SampleOptions options;
      options.messages = messages;
      EXPECT_TRUE(WriteSampleStore(path, options, nullptr).ok());
    }
    return path;
  }
  // Enough for every item kind; quick to read.
  static fs::path Sample() { return SampleOf(40); }
  // Long enough to stop in each phase, with an attachment of 2 to 4 MiB (the eighth message)
  // and a new store of about 8 MiB.
  static fs::path LargeSample() { return SampleOf(200); }

  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("palvara-robust-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  static inline fs::path sampleDir_;
  fs::path dir_;
};

// Every command over every input that is not a store it can read.
TEST_F(CliRobustnessTest, EveryCommandRefusesOrSurvivesEveryBadInput) {
  const fs::path in = dir_ / "inputs";
  fs::create_directories(in);
  ASSERT_EQ(::mkfifo((in / "fifo.pst").c_str(), 0644), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (in / "socket.pst").string();
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socketPath.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  fs::create_directories(in / "folder.pst");
  std::ofstream(in / "empty.pst");
  std::mt19937 random(12);
  {
    std::ofstream noise(in / "random.pst", std::ios::binary);
    for (int i = 0; i < 200000; ++i) noise.put(static_cast<char>(random()));
  }
  // A store followed by half a gigabyte of holes.
  fs::copy_file(Sample(), in / "sparse.pst");
  fs::resize_file(in / "sparse.pst", 512ull << 20);
  fs::copy_file(Sample(), in / "unreadable.pst");
  fs::permissions(in / "unreadable.pst", fs::perms::none);
  const std::string badName = (in / "bad\xFF\xFE name.pst").string();
  fs::copy_file(Sample(), badName);

  struct Input {
    std::string path;
    int code;            // the exit status every command gives, or -1: depends on the command
    std::string reason;  // in the message
  };
  const bool root = ::geteuid() == 0;
  const std::vector<Input> inputs = {
      {(in / "missing.pst").string(), 1, "No such file or directory"},
      {(in / "fifo.pst").string(), 1, "FIFO"},
      {socketPath, 1, "socket"},
      {(in / "folder.pst").string(), 1, "directory"},
      {"/dev/zero", 1, "character device"},
      {(in / "unreadable.pst").string(), root ? -1 : 1, root ? "" : "Permission denied"},
      {(in / "empty.pst").string(), -1, ""},
      {(in / "random.pst").string(), -1, ""},
      {(in / "sparse.pst").string(), -1, ""},
      {badName, -1, ""},
  };
  const fs::path out = dir_ / "out";
  const std::vector<std::vector<std::string>> commands = {
      {"info"},
      {"nodes"},
      {"props", "@", "0x21"},
      {"item", "@", "0x21"},
      {"analyze"},
      {"check"},
      {"check", "@", "--strict"},
      {"save", "@", "--to", out.string(), "--all"},
      {"recover", "@", "--to", out.string()}};
  for (const Input& input : inputs) {
    for (std::vector<std::string> args : commands) {
      if (args.size() == 1) args.push_back("@");
      std::replace(args.begin(), args.end(), std::string("@"), input.path);
      args.push_back("--json");
      const Finished r = RunCli(dir_, args);
      const std::string what = args[0] + " " + input.path;
      ASSERT_FALSE(r.timedOut) << what;
      ASSERT_EQ(r.signal, 0) << what << "\n" << r.err;
      // 0 read, 1 not readable as a store, 5 check found errors; nothing else.
      EXPECT_TRUE(r.code == 0 || r.code == 1 || (r.code == 5 && args[0] == "check"))
          << what << " exit " << r.code << "\n" << r.err;
      if (input.code >= 0) {
        EXPECT_EQ(r.code, input.code) << what;
      }
      if (!input.reason.empty()) {
        EXPECT_NE(r.err.find(input.reason), std::string::npos) << what << "\n" << r.err;
      }
      if (args[0] == "check" && input.path == (in / "sparse.pst").string()) {
        // The check reads the file in pieces: far less than the file's 512 MiB stays resident.
        EXPECT_GT(r.peakResidentKb, 0) << what;
        EXPECT_LT(r.peakResidentKb, 128 * 1024) << what;
      }
      // stdout is always one JSON document: the result, or {"error": ...} with the reason.
      nlohmann::json j;
      ASSERT_NO_THROW(j = nlohmann::json::parse(r.out)) << what << "\n" << r.out;
      if (r.code == 1) {
        ASSERT_TRUE(j.contains("error")) << what << "\n" << r.out;
        EXPECT_FALSE(r.err.empty());
      }
    }
  }
  // The store under a name that is not UTF-8 reads like any other.
  for (const char* command : {"info", "analyze", "check"}) {
    const Finished r = RunCli(dir_, {command, badName, "--json"});
    EXPECT_EQ(r.code, 0) << command << r.err;
    EXPECT_NE(r.out.find("\\ufffd") + r.out.find("\xEF\xBF\xBD"), 2 * std::string::npos) << r.out;
  }
  const Finished saved = RunCli(dir_, {"recover", badName, "--to", out.string(), "--json"});
  EXPECT_EQ(saved.code, 0) << saved.err;
  EXPECT_EQ(nlohmann::json::parse(saved.out)["outputFiles"].size(), 1u);
  ::close(sock);
}

TEST_F(CliRobustnessTest, ArgumentsAreParsedStrictly) {
  const std::string s = Sample().string();
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"info", s, s}, 2, "unexpected argument"},
      {{"props", s, "0x21", "0x22"}, 2, "unexpected argument"},
      {{"item", s, "-5"}, 2, "-5"},
      {{"item", s, "33x"}, 2, "not a node id"},
      {{"item", s, " 33"}, 2, "not a node id"},
      {{"item", s, "+33"}, 2, "not a node id"},
      {{"item", s, "0x1FFFFFFFF"}, 2, "not a node id"},
      {{"item", s, "0x"}, 2, "not a node id"},
      {{"make-sample", "--out", (dir_ / "x.pst").string(), "--messages", "-5"}, 2, "not a number"},
      {{"make-sample", "--out", (dir_ / "x.pst").string(), "--messages", "1x"}, 2, "not a number"},
      {{"make-sample", "--out", (dir_ / "x.pst").string(), "--seed", "99999999999999999999"}, 2,
       "not a number"},
      {{"search"}, 2, "needs DIR"},
      {{"recover", s, "extra"}, 2, "unexpected argument"},
  };
  for (const Case& c : cases) {
    const Finished r = RunCli(dir_, c.args);
    EXPECT_EQ(r.code, c.code) << c.args[0] << " " << c.args.back() << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(dir_ / "x.pst"));
  // A leading zero is decimal: 033 is node 0x21, the message store, not octal 27.
  const Finished decimal = RunCli(dir_, {"item", s, "033", "--json"});
  ASSERT_EQ(decimal.code, 0) << decimal.err;
  EXPECT_EQ(nlohmann::json::parse(decimal.out)["nid"], 0x21);
  EXPECT_EQ(RunCli(dir_, {"item", s, "27"}).code, 1);  // 0x1B is no node
}

TEST_F(CliRobustnessTest, AnUnknownFolderIsNamedWithTheKnownOnes) {
  const fs::path out = dir_ / "out";
  for (const char* typo : {"Personal Folders\\inbox\\", "Personal Folders\\Inbox", "Inbox"}) {
    const Finished r = RunCli(dir_, {"save", Sample().string(), "--to", out.string(), "--folder",
                                     "Personal Folders\\Inbox\\", "--folder", typo, "--json"});
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find(std::string("\"") + typo + "\""), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("  Personal Folders\\Inbox\\\n"), std::string::npos) << r.err;
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["unknownFolders"], nlohmann::json::array({typo}));
    EXPECT_TRUE(FilesEndingIn(out, ".pst").empty());
  }
}

TEST_F(CliRobustnessTest, ItemLeavesNoFileBehind) {
  const fs::path data = dir_ / "data";
  fs::create_directories(data);
  // Every message of the sample, RTF bodies included.
  const Finished nodes = RunCli(dir_, {"nodes", Sample().string(), "--json"});
  ASSERT_EQ(nodes.code, 0);
  int messages = 0;
  for (const auto& n : nlohmann::json::parse(nodes.out)) {
    if ((n["nid"].get<std::uint32_t>() & 0x1F) != 0x04 || ++messages > 12) continue;
    const Finished r = RunCli(dir_, {"item", Sample().string(), std::to_string(n["nid"].get<int>())},
                              {{"XDG_DATA_HOME=" + data.string()}, {}});
    EXPECT_EQ(r.code, 0) << r.err;
  }
  EXPECT_GT(messages, 0);
  EXPECT_TRUE(EntriesContaining(data, ".rtf").empty());
  EXPECT_TRUE(EntriesContaining(data / "palvara", ".rtf").empty());
}

// Waits until `ready` holds (polled every millisecond) or the process ended; true when it holds.
bool WaitFor(CliProcess& p, const std::function<bool()>& ready) {
  const auto deadline = Clock::now() + kRunLimit;
  while (Clock::now() < deadline) {
    if (ready()) return true;
    if (!p.Running()) return ready();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// Asserts what a run into `out` left: every ".pst" passes the check, no temporary folder of
// the run remains in `tmp` and, unless the run was killed, no unfinished store beside them.
void ExpectNothingBroken(const fs::path& out, const fs::path& tmp, bool killed) {
  for (const fs::path& pst : FilesEndingIn(out, ".pst")) {
    const CheckReport check = CheckStore(pst);
    EXPECT_TRUE(check.opened) << pst;
    EXPECT_EQ(check.Errors(), 0u) << pst;
  }
  if (!killed) {
    EXPECT_TRUE(EntriesContaining(out, ".partial").empty());
    EXPECT_TRUE(EntriesContaining(tmp, "palvara").empty());
  }
}

TEST_F(CliRobustnessTest, SignalsStopRecoverAtEveryPhaseAndLeaveNothingBroken) {
  enum class Phase { kAnalysis, kSaving, kFinish };
  struct Case {
    Phase phase;
    int signal;
  };
  const std::vector<Case> cases = {
      {Phase::kAnalysis, SIGINT}, {Phase::kAnalysis, SIGTERM}, {Phase::kAnalysis, SIGHUP},
      {Phase::kSaving, SIGINT},   {Phase::kSaving, SIGTERM},   {Phase::kSaving, SIGKILL},
      {Phase::kFinish, SIGTERM}};
  int n = 0;
  for (const Case& c : cases) {
    const fs::path home = dir_ / std::to_string(n++);
    const fs::path out = home / "out";
    CliProcess p(home, {"recover", LargeSample().string(), "--to", out.string()});
    const fs::path log = home / "Activity Log.txt";
    bool reached = false;
    switch (c.phase) {
      case Phase::kAnalysis:
        reached = WaitFor(p, [&] {
          return ReadAll(log).find("Step2: Analysis PST File") != std::string::npos;
        });
        break;
      case Phase::kSaving:
        reached = WaitFor(p, [&] { return !EntriesContaining(out, ".partial-").empty(); });
        break;
      case Phase::kFinish:
        reached = WaitFor(p, [&] { return !FilesEndingIn(out, ".pst").empty(); });
        break;
    }
    ASSERT_TRUE(reached) << n;
    // Held still while the phase is checked, so the signal lands in it.
    ::kill(p.pid(), SIGSTOP);
    const bool stillRunning = p.Running();
    const bool saving = !EntriesContaining(out, ".partial-").empty();
    const bool finished = !FilesEndingIn(out, ".pst").empty();
    ::kill(p.pid(), c.signal);
    ::kill(p.pid(), SIGCONT);
    const Finished r = p.Wait();
    ASSERT_FALSE(r.timedOut);
    const std::string what = std::to_string(n) + " signal " + std::to_string(c.signal);
    if (c.signal == SIGKILL) {
      EXPECT_EQ(r.signal, SIGKILL);
      // A killed run may leave its unfinished store, never under a ".pst" name.
      EXPECT_TRUE(FilesEndingIn(out, ".pst").empty()) << what;
      ExpectNothingBroken(out, home / "tmp", true);
      continue;
    }
    if (!stillRunning) continue;  // it ended before the signal: nothing to learn
    if (c.phase == Phase::kFinish && (r.signal == c.signal || r.code == 0)) {
      // The store was whole and in place and the run past its last stop check: it ends as
      // done, or by the signal's default action while leaving the program; either way what
      // it wrote must be sound.
      EXPECT_EQ(FilesEndingIn(out, ".pst").size(), 1u) << what;
      ExpectNothingBroken(out, home / "tmp", false);
      continue;
    }
    EXPECT_EQ(r.signal, 0) << what;
    EXPECT_EQ(r.code, 4) << what << "\n" << r.err;
    EXPECT_NE(r.err.find("stopped"), std::string::npos) << what << r.err;
    if (c.phase == Phase::kAnalysis && !saving) {
      // Nothing more is started after a stop: no store at all.
      EXPECT_FALSE(fs::exists(out) && !fs::is_empty(out)) << what;
      EXPECT_EQ(r.out.find("Saved to"), std::string::npos) << what;
    }
    if (c.phase == Phase::kSaving && !finished) {
      // A stopped saving still finishes the store it began, with what it holds so far.
      EXPECT_EQ(FilesEndingIn(out, ".pst").size(), 1u) << what;
      EXPECT_NE(r.out.find("Saving aborted"), std::string::npos) << what << r.out;
    }
    ExpectNothingBroken(out, home / "tmp", false);
  }
}

TEST_F(CliRobustnessTest, AFullDiskEndsTheRunAndNothingCutShortIsKept) {
  // Attachments are handed to the new store in memory: the writes that can fail are the
  // store's own, early (2 MiB) or late (5 MiB, of a new store of about 8 MiB).
  for (const rlim_t limit : {rlim_t{5} << 20, rlim_t{2} << 20}) {
    const fs::path home = dir_ / std::to_string(limit);
    const fs::path out = home / "out";
    CliProcess::Options limited{{}, [limit] {
                                  ::signal(SIGXFSZ, SIG_IGN);  // a write past it fails instead
                                  const rlimit l{limit, limit};
                                  ::setrlimit(RLIMIT_FSIZE, &l);
                                }};
    const Finished r = RunCli(
        home, {"recover", LargeSample().string(), "--to", out.string(), "--json"}, limited);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.code, 3) << r.err;
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["outcome"], "output-failed");
    EXPECT_TRUE(j["outputFiles"].empty());
    const std::string error = j["error"].get<std::string>();
    EXPECT_NE(error.find("File too large"), std::string::npos) << error;
    EXPECT_NE(error.find(".pst.partial"), std::string::npos) << error;
    EXPECT_NE(r.err.find(error), std::string::npos) << r.err;
    EXPECT_TRUE(FilesEndingIn(out, ".pst").empty());
    ExpectNothingBroken(out, home / "tmp", false);
    // The activity log does not call it a success.
    const std::string log = ReadAll(home / "Activity Log.txt");
    EXPECT_NE(log.find("Saving aborted"), std::string::npos);
    EXPECT_EQ(log.find("Saving completed successfully"), std::string::npos);
  }
}

TEST_F(CliRobustnessTest, RunsAtTheSameTimeIntoOneFolderEachKeepTheirStore) {
  for (int runs : {2, 4}) {
    const fs::path out = dir_ / ("out" + std::to_string(runs));
    std::vector<std::unique_ptr<CliProcess>> processes;
    for (int i = 0; i < runs; ++i) {
      processes.push_back(std::make_unique<CliProcess>(
          dir_ / std::to_string(i), std::vector<std::string>{"recover", Sample().string(), "--to",
                                                             out.string(), "--json"}));
    }
    std::set<std::string> reported;
    for (auto& p : processes) {
      const Finished r = p->Wait();
      ASSERT_EQ(r.code, 0) << r.err;
      const auto j = nlohmann::json::parse(r.out);
      for (const auto& f : j["outputFiles"]) reported.insert(f.get<std::string>());
    }
    const std::vector<fs::path> stores = FilesEndingIn(out, ".pst");
    EXPECT_EQ(reported.size(), static_cast<std::size_t>(runs));
    EXPECT_EQ(stores.size(), static_cast<std::size_t>(runs));
    for (const fs::path& store : stores) {
      EXPECT_EQ(reported.count(store.string()), 1u) << store;
      EXPECT_EQ(fs::file_size(store), fs::file_size(stores[0])) << store;
    }
    ExpectNothingBroken(out, dir_ / "0" / "tmp", false);
  }
}

}  // namespace
}  // namespace palvara

// The recovery pass on crafted files: every shape of tests/support/crafted_files in the ANSI,
// Unicode and 4 KiB-page layouts, with the header kept and wiped, each written into a private
// temporary folder and analysed by `palvara-cli analyze --scan --json` in a child process.
// Prints per input the file size, the blocks it holds, the wall time, MB/s, the child's peak
// RSS, and that peak against the file size and against the target: twice the run's memory
// budget plus 32 bytes per block. A child that runs past the time limit is killed and shown.
//
//   palvara_scan_bounds_bench [--size MB] [--small MB] [--limit SECONDS] [--shape NAME]
//                             [--layout ansi|unicode|unicode-4k] [--real MESSAGES]
//
// --real adds a sample store of that many messages (Unicode, 4 KiB pages), kept and wiped.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "reader/byte_source.h"
#include "reader/store_scan.h"
#include "tests/support/crafted_files.h"
#include "writer/ndb_writer.h"
#include "writer/sample_generator.h"

namespace {

namespace fs = std::filesystem;
using namespace palvara;
using namespace palvara::testing;

// The fixed memory of a run (README, "Memory"): the file cache, the write buffer, the items
// held ahead, and the scan's read window with the overlap its windows share.
std::uint64_t RunBudget() {
  const FileCacheOptions cache;
  const ScanOptions scan;
  return std::uint64_t{cache.chunkSize} * cache.chunks + kDefaultWriteBuffer +
         (std::uint64_t{32} << 20) + scan.chunkSize + k4kGeometry.maxBlockSize;
}

struct Input {
  std::string name;
  CraftedSpec spec;
  fs::path realStore;  // a store file analysed as it is (no crafted part) when set
};

struct Run {
  bool finished = false;
  int exitCode = -1;
  double seconds = 0;     // wall time
  double cpuSeconds = 0;  // user and system time of the child, all its threads
  std::uint64_t peakBytes = 0;
};

// Runs the analysis of `file` in a child; its output goes to `json`.
Run AnalyseInChild(const fs::path& file, const fs::path& json, int limitSeconds) {
  Run run;
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    std::FILE* out = std::freopen(json.c_str(), "w", stdout);
    std::FILE* err = std::freopen("/dev/null", "w", stderr);
    if (out == nullptr || err == nullptr) ::_exit(126);
    ::execl(PALVARA_CLI_PATH, "palvara-cli", "analyze", file.c_str(), "--scan", "--json",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t done = ::wait4(child, &status, WNOHANG, &usage);
    if (done == child) break;
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(limitSeconds)) {
      ::kill(child, SIGKILL);
      ::wait4(child, &status, 0, &usage);
      run.seconds = limitSeconds;
      run.peakBytes = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
      return run;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.finished = WIFEXITED(status);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  run.peakBytes = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
  run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return run;
}

// Starts the children from a process forked while the bench is still small: the peak RSS the
// kernel reports for a child counts the process it was forked from (exec keeps the larger
// high-water mark), and the bench itself grows while it writes and scans the inputs.
class Launcher {
 public:
  explicit Launcher(int limitSeconds) {
    int requests[2], replies[2];
    if (::pipe(requests) != 0 || ::pipe(replies) != 0) std::exit(1);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(requests[1]);
      ::close(replies[0]);
      Serve(requests[0], replies[1], limitSeconds);
      ::_exit(0);
    }
    ::close(requests[0]);
    ::close(replies[1]);
    to_ = requests[1];
    from_ = replies[0];
  }
  ~Launcher() {
    ::close(to_);
    ::close(from_);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }

  Run Analyse(const fs::path& file, const fs::path& json) {
    char request[2 * kPathMax] = {};
    std::snprintf(request, kPathMax, "%s", file.c_str());
    std::snprintf(request + kPathMax, kPathMax, "%s", json.c_str());
    Run run;
    if (::write(to_, request, sizeof request) != sizeof request ||
        ::read(from_, &run, sizeof run) != sizeof run) {
      std::exit(1);
    }
    return run;
  }

 private:
  static constexpr std::size_t kPathMax = 1024;

  static void Serve(int in, int out, int limitSeconds) {
    char request[2 * kPathMax];
    while (::read(in, request, sizeof request) == sizeof request) {
      const Run run = AnalyseInChild(request, request + kPathMax, limitSeconds);
      if (::write(out, &run, sizeof run) != sizeof run) return;
    }
  }

  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
};

// The mails the analysis found, from its JSON output.
std::uint64_t MailsIn(const fs::path& json) {
  const nlohmann::json result = nlohmann::json::parse(std::ifstream(json), nullptr, false);
  if (!result.is_object() || !result.contains("items")) return 0;
  return result["items"].value("mail", std::uint64_t{0});
}

// Blocks with sound trailers in a store file, as the scan of its own layout finds them.
std::uint64_t BlocksIn(const fs::path& path, const Geometry& g) {
  Status status = Status::Ok();
  auto source = FileByteSource::Open(path, &status);
  if (!source) return 0;
  ScanOptions options;
  options.layout = ScanLayoutOf(g);
  const ScanResult scan = ScanStore(*source, options);
  return scan.Of(*options.layout)->blocks.size();
}

Bytes ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string raw((std::istreambuf_iterator<char>(in)), {});
  Bytes bytes(raw.size());
  std::memcpy(bytes.data(), raw.data(), raw.size());
  return bytes;
}

fs::path Sample(const fs::path& dir, const char* name, std::uint64_t messages, NdbLayout layout) {
  SampleOptions options;
  options.messages = messages;
  options.layout = layout;
  const fs::path path = dir / name;
  if (!WriteSampleStore(path, options, nullptr).ok()) {
    std::fprintf(stderr, "cannot write the sample store %s\n", path.c_str());
    std::exit(1);
  }
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t sizeMb = 128;
  std::uint64_t smallMb = 4;
  int limit = 300;
  std::uint64_t realMessages = 0;
  std::string onlyShape, onlyLayout;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--size") sizeMb = std::strtoull(argv[i + 1], nullptr, 10);
    if (flag == "--small") smallMb = std::strtoull(argv[i + 1], nullptr, 10);
    if (flag == "--limit") limit = std::atoi(argv[i + 1]);
    if (flag == "--shape") onlyShape = argv[i + 1];
    if (flag == "--layout") onlyLayout = argv[i + 1];
    if (flag == "--real") realMessages = std::strtoull(argv[i + 1], nullptr, 10);
  }
  Launcher launcher(limit);
  char pattern[] = "/tmp/palvara-scan-bounds-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const fs::path dir = pattern;

  // The real stores the crafted parts follow: generated samples, and the shared ANSI store.
  const NdbLayout fourK{&k4kGeometry, true, kClientOst};
  std::vector<std::pair<const Geometry*, Bytes>> prefixes;
  const fs::path ansi =
      fs::path(PALVARA_TESTDATA_DIR) / "stores" / "hughbe_personal_folders_ansi.pst";
  prefixes.emplace_back(&kAnsiGeometry, fs::exists(ansi) ? ReadAll(ansi) : Bytes{});
  prefixes.emplace_back(&kUnicodeGeometry, ReadAll(Sample(dir, "prefix.pst", 5, {})));
  prefixes.emplace_back(&k4kGeometry, ReadAll(Sample(dir, "prefix-4k.ost", 5, fourK)));

  std::vector<Input> inputs;
  for (const auto& [geometry, prefix] : prefixes) {
    if (!onlyLayout.empty() && onlyLayout != geometry->name) continue;
    for (CraftedShape shape : AllCraftedShapes()) {
      if (!onlyShape.empty() && onlyShape != CraftedShapeName(shape)) continue;
      for (std::uint64_t mb : {sizeMb, smallMb}) {
        for (bool wiped : {false, true}) {
          if (mb == smallMb && wiped) continue;
          Input input;
          input.spec.shape = shape;
          input.spec.geometry = geometry;
          input.spec.size = mb << 20;
          input.spec.prefix = prefix;
          input.spec.wipeHeader = wiped;
          input.name =
              std::string(geometry->name) + " " + CraftedShapeName(shape) + (wiped ? " wiped" : "");
          inputs.push_back(std::move(input));
        }
      }
    }
  }
  if (realMessages > 0) {
    for (const auto& [name, layout] :
         {std::pair{"real-sample.pst", NdbLayout{}}, std::pair{"real-sample-4k.ost", fourK}}) {
      const fs::path store = Sample(dir, name, realMessages, layout);
      for (bool wiped : {false, true}) {
        Input input;
        input.name = std::string(layout.geometry->name) + " real sample" + (wiped ? " wiped" : "");
        input.spec.geometry = layout.geometry;
        input.realStore = store;
        input.spec.wipeHeader = wiped;
        inputs.push_back(std::move(input));
      }
    }
  }

  const double budget = static_cast<double>(RunBudget());
  std::printf("run budget %.1f MiB; target: 2 x budget + 32 B x blocks; time limit %d s\n\n",
              budget / 1048576.0, limit);
  std::printf("%-36s %8s %9s %8s %8s %8s %9s %8s %8s %6s %s\n", "input", "MB", "blocks", "seconds",
              "cpu s", "MB/s", "peak MiB", "/size", "/target", "mails", "exit");
  double worstSize = 0, worstTarget = 0;
  std::string worstSizeName, worstTargetName;
  // The slowest of the large inputs and of the small ones (whose time the start of the
  // program and the real store before the crafted part weigh on).
  double slowest[2] = {1e30, 1e30};
  std::string slowestName[2];
  const fs::path file = dir / "crafted.bin";
  const fs::path json = dir / "analysis.json";
  for (const Input& input : inputs) {
    std::uint64_t blocks = 0;
    if (!input.realStore.empty()) {
      fs::copy_file(input.realStore, file, fs::copy_options::overwrite_existing);
      if (input.spec.wipeHeader) {
        std::FILE* f = std::fopen(file.c_str(), "r+b");
        const std::vector<char> zeros(kSmallPageSize);
        if (f != nullptr) {
          std::fwrite(zeros.data(), 1, zeros.size(), f);
          std::fclose(f);
        }
      }
    } else {
      CraftedSummary summary;
      if (!WriteCraftedFile(file, input.spec, &summary).ok()) return 1;
    }
    blocks = BlocksIn(file, *input.spec.geometry);
    const double size = static_cast<double>(fs::file_size(file));
    const Run run = launcher.Analyse(file, json);
    const std::uint64_t mails = run.finished ? MailsIn(json) : 0;
    const double mbps = size / 1e6 / run.seconds;
    const double peak = static_cast<double>(run.peakBytes);
    const double target = 2 * budget + 32.0 * static_cast<double>(blocks);
    std::printf("%-36s %8.1f %9llu %8.2f %8.2f %8.1f %9.1f %8.3f %8.3f %6llu %s\n",
                input.name.c_str(), size / 1e6, static_cast<unsigned long long>(blocks),
                run.seconds, run.cpuSeconds, mbps, peak / 1048576.0, peak / size, peak / target,
                static_cast<unsigned long long>(mails),
                run.finished ? std::to_string(run.exitCode).c_str() : "killed");
    std::fflush(stdout);
    if (peak / size > worstSize) {
      worstSize = peak / size;
      worstSizeName = input.name;
    }
    if (peak / target > worstTarget) {
      worstTarget = peak / target;
      worstTargetName = input.name;
    }
    const int small = size < 64e6 ? 1 : 0;
    if (mbps < slowest[small]) {
      slowest[small] = mbps;
      slowestName[small] = input.name + (small ? " (small)" : "");
    }
  }
  std::printf("\nlargest peak / file size: %.3f (%s)\n", worstSize, worstSizeName.c_str());
  std::printf("largest peak / target:    %.3f (%s)\n", worstTarget, worstTargetName.c_str());
  std::printf("slowest of 64 MB or more: %.1f MB/s (%s)\n", slowest[0], slowestName[0].c_str());
  std::printf("slowest of the small:     %.1f MB/s (%s)\n", slowest[1], slowestName[1].c_str());
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}

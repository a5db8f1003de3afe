// Write throughput of the store writer: megabytes per second of finished store, with the
// messages generated beforehand (content generation is not timed).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>

#include "writer/store_writer.h"

namespace {

namespace fs = std::filesystem;
using namespace palvara;

std::vector<MessageSpec> Messages(std::size_t count) {
  std::vector<MessageSpec> messages;
  std::uint64_t x = 42;
  auto next = [&x] { return x = x * 6364136223846793005ull + 1442695040888963407ull; };
  for (std::size_t i = 0; i < count; ++i) {
    MessageSpec m;
    m.subject = "Quarterly report " + std::to_string(i) + " 東京";
    m.body = std::string(800 + next() % 2000, 'b');
    m.senderName = "Ada Lovelace";
    m.senderAddress = "ada@example.com";
    m.submitTime = m.deliveryTime = 0x01D9000000000000ull + i;
    m.recipients = {{"Bob", "bob@example.com", 1}, {"Carol", "carol@example.com", 2}};
    if (i % 4 == 0) {
      AttachmentSpec a;
      a.fileName = "data" + std::to_string(i) + ".bin";
      a.data = Bytes(20000 + next() % 100000);
      for (std::byte& b : a.data) b = static_cast<std::byte>(next() >> 56);
      m.attachments.push_back(std::move(a));
    }
    messages.push_back(std::move(m));
  }
  return messages;
}

void BM_WriteStore(benchmark::State& state) {
  const std::vector<MessageSpec> messages = Messages(static_cast<std::size_t>(state.range(0)));
  const fs::path path = fs::temp_directory_path() / ("palvara-bench-" + std::to_string(::getpid()) + ".pst");
  std::uintmax_t size = 0;
  for (auto _ : state) {
    Status status = Status::Ok();
    auto writer = StoreWriter::Create(path, "Personal Folders", EncodingMethod::kPermute, &status);
    const std::uint32_t inbox = writer->CreateFolder(kNidIpmSubtree, "Inbox", "IPF.Note");
    for (const MessageSpec& m : messages) writer->AddMessage(inbox, m);
    if (!writer->Finish().ok()) state.SkipWithError("write failed");
    size = fs::file_size(path);
  }
  fs::remove(path);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * messages.size()));
  state.counters["storeMB"] = static_cast<double>(size) / 1e6;
}
BENCHMARK(BM_WriteStore)->Arg(4000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

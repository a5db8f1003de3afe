#include "cli/commands.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <ostream>

#include "reader/btree_walk.h"
#include "reader/store_file.h"

namespace palvara::cli {
namespace {

constexpr const char* kUsage =
    "usage: palvara-cli <command> [options]\n"
    "\n"
    "commands:\n"
    "  info FILE [--json]    header values, layout, encoding, block and node counts, damage\n"
    "  nodes FILE [--json]   the node tree: nid, parent, data bid, subnode bid, depth\n";

struct Arguments {
  std::string file;
  bool json = false;
};

// Parses "FILE [--json]"; returns false (after printing why) on anything else.
bool ParseFileArguments(const std::vector<std::string>& args, Arguments& parsed,
                        std::ostream& err) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--json") {
      parsed.json = true;
    } else if (!args[i].empty() && args[i][0] == '-' && args[i] != "-") {
      err << "palvara-cli: unknown option " << args[i] << "\n";
      return false;
    } else if (parsed.file.empty()) {
      parsed.file = args[i];
    } else {
      err << "palvara-cli: unexpected argument " << args[i] << "\n";
      return false;
    }
  }
  if (parsed.file.empty()) {
    err << "palvara-cli: " << args[0] << " needs a FILE\n";
    return false;
  }
  return true;
}

// Opens and indexes a store; prints the reason and returns false when it cannot be opened.
bool OpenAndIndex(const std::string& file, StoreFile& store, std::ostream& err) {
  Status status = OpenStore(store, file);
  if (!status.ok()) {
    err << "palvara-cli: " << status.message() << "\n";
    return false;
  }
  IndexStore(store);
  return true;
}

nlohmann::json DamageJson(const StoreFile& store) {
  nlohmann::json list = nlohmann::json::array();
  for (const DamageReport& report : store.damage.Reports()) list.push_back(report.ToString());
  return {{"reports", store.damage.Count()}, {"details", list}};
}

int Info(const Arguments& a, std::ostream& out, std::ostream& err) {
  StoreFile store;
  if (!OpenAndIndex(a.file, store, err)) return 1;
  const std::size_t reachable = store.nodes.ReachableCount();
  const std::size_t orphans = store.nodes.Orphans().size();
  if (a.json) {
    nlohmann::json j = {
        {"source", a.file},
        {"fileSize", store.fileSize},
        {"format", StoreFormatName(store.Format())},
        {"wVer", store.wVer},
        {"encoding", EncodingName(store.encoding)},
        {"headerCryptMethod", store.headerCryptMethod},
        {"encodingFromHeader", store.encodingFromHeader},
        {"blockTreeRoot", {{"offset", store.blockTreeRootOffset}, {"bid", store.blockTreeRootId}}},
        {"nodeTreeRoot", {{"offset", store.nodeTreeRootOffset}, {"bid", store.nodeTreeRootId}}},
        {"endOfFile", store.endOfFile},
        {"blocks", store.blocks.Size()},
        {"nodes", reachable},
        {"orphans", orphans},
        {"staleBlockEntries", store.staleBlockEntries.size()},
        {"staleNodeEntries", store.staleNodeEntries.size()},
        {"damage", DamageJson(store)},
    };
    out << j.dump(2) << "\n";
    return 0;
  }
  out << "File:              " << a.file << "\n"
      << "File size:         " << store.fileSize << " bytes\n"
      << "Layout:            " << StoreFormatName(store.Format()) << " (wVer " << store.wVer
      << ")\n"
      << "Encoding:          " << EncodingName(store.encoding) << " (header bCryptMethod "
      << Hex(store.headerCryptMethod) << (store.encodingFromHeader ? "" : ", not used") << ")\n"
      << "Block B-tree root: offset " << Hex(store.blockTreeRootOffset) << ", bid "
      << Hex(store.blockTreeRootId) << "\n"
      << "Node B-tree root:  offset " << Hex(store.nodeTreeRootOffset) << ", bid "
      << Hex(store.nodeTreeRootId) << "\n"
      << "End of file:       " << Hex(store.endOfFile) << " (header)\n"
      << "Blocks indexed:    " << store.blocks.Size() << " (" << store.blockPagesRead
      << " pages read, " << store.staleBlockEntries.size() << " stale entries set aside)\n"
      << "Nodes in tree:     " << reachable << " (" << orphans << " orphans, "
      << store.staleNodeEntries.size() << " stale entries set aside)\n"
      << "Damage reports:    " << store.damage.Count() << "\n";
  for (const DamageReport& report : store.damage.Reports()) {
    out << "  " << report.ToString() << "\n";
  }
  if (store.damage.Dropped() > 0) out << "  ... " << store.damage.Dropped() << " more\n";
  return 0;
}

int Nodes(const Arguments& a, std::ostream& out, std::ostream& err) {
  StoreFile store;
  if (!OpenAndIndex(a.file, store, err)) return 1;
  if (a.json) {
    nlohmann::json list = nlohmann::json::array();
    store.nodes.ForEachPreorder([&list](const StoreNode& n, int depth) {
      list.push_back({{"nid", n.nid},
                      {"parent", n.parent != nullptr ? n.parent->nid : 0},
                      {"dataBid", n.bidData},
                      {"subnodeBid", n.bidSub},
                      {"depth", depth}});
    });
    out << list.dump() << "\n";
    return 0;
  }
  out << "nid         parent      data bid    subnode bid\n";
  store.nodes.ForEachPreorder([&out](const StoreNode& n, int depth) {
    char line[160];
    std::snprintf(line, sizeof line, "%*s0x%-8X  0x%-8X  0x%-8llX  0x%-8llX\n", 2 * depth, "",
                  n.nid, n.parent != nullptr ? n.parent->nid : 0u,
                  static_cast<unsigned long long>(n.bidData),
                  static_cast<unsigned long long>(n.bidSub));
    out << line;
  });
  return 0;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  using Command = std::function<int(const Arguments&, std::ostream&, std::ostream&)>;
  static const std::map<std::string, Command> kCommands = {{"info", Info}, {"nodes", Nodes}};
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    (args.empty() ? err : out) << kUsage;
    return args.empty() ? 2 : 0;
  }
  auto command = kCommands.find(args[0]);
  if (command == kCommands.end()) {
    err << "palvara-cli: unknown command " << args[0] << "\n" << kUsage;
    return 2;
  }
  Arguments parsed;
  if (!ParseFileArguments(args, parsed, err)) {
    err << kUsage;
    return 2;
  }
  return command->second(parsed, out, err);
}

}  // namespace palvara::cli

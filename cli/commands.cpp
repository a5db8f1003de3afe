#include "cli/commands.h"

#include <cstring>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>

#include "cli/analyze.h"
#include "cli/arguments.h"
#include "cli/exit_codes.h"
#include "cli/help.h"
#include "cli/item_view.h"
#include "cli/json_text.h"
#include "cli/save.h"
#include "cli/search.h"
#include "cli/value_preview.h"
#include "items/mapping.h"
#include "reader/btree_walk.h"
#include "reader/property_list.h"
#include "reader/store_file.h"
#include "writer/sample_generator.h"
#include "writer/store_check.h"

namespace palvara::cli {
namespace {

constexpr const char* kUsage =
    "usage: palvara-cli <command> [options]\n"
    "\n"
    "commands:\n"
    "  info FILE [--json]    header values, layout, encoding, block and node counts, damage\n"
    "  nodes FILE [--json]   the node tree: nid, parent, data bid, subnode bid, depth\n"
    "  props FILE NID [--table [attachments]] [--subnode SID] [--json]\n"
    "                        a node's properties (id, type, size, reference, value;\n"
    "                        named ones with their tag and property set);\n"
    "                        --table: each row of its table; --table attachments: the\n"
    "                        attachment table of message NID; --subnode: the properties\n"
    "                        of subnode SID of NID (an attachment)\n"
    "  item FILE NID [--json] the mapped record of a node: kind, class, fields, attachments\n"
    "  analyze FILE [--json] [--items] [--scan|--no-scan]\n"
    "                        the analysis run: folders, counters, damage; --items adds one\n"
    "                        record per item (progress on stderr, Ctrl-C stops)\n"
    "  save FILE --to DIR (--folder PATH)... | --all [--json] [--scan|--no-scan]\n"
    "                        writes the given folders (\"Personal Folders\\Inbox\\\") or every\n"
    "                        folder into a new PST in DIR\n"
    "  export FILE --to DIR --format mbox|maildir|eml|all (--folder PATH)... | --all [--json]\n"
    "                        the same folders as mail files (mbox, Maildir, EML), contacts\n"
    "                        as vCard, calendar, tasks and journal as iCalendar, notes as text\n"
    "  recover FILE [--to DIR] [--json] [--scan|--no-scan]\n"
    "                        analysis, then every folder saved into a new PST in DIR\n"
    "                        (default: ./Repair)\n"
    "                        --scan: always scan the whole file to rebuild its indexes;\n"
    "                        --no-scan: never (default: when the walk meets damage)\n"
    "  check FILE [--strict] [--json]\n"
    "                        validates a store's structure; exit 0 when it has no errors\n"
    "                        (--strict: no violation of the format's rules)\n"
    "  make-sample --out FILE [--messages N] [--seed S] [--encoding none|permute|cyclic]\n"
    "              [--layout unicode|4k] [--compress] [--client pst|ost]\n"
    "                        writes a realistic sample store (4k: the 4 KiB pages of an\n"
    "                        OST, blocks zlib-compressed with --compress)\n"
    "  search DIR [--recursive] [--json]\n"
    "                        lists the store files (names containing .pst or .ost) in DIR\n"
    "                        and, with --recursive, its subfolders\n"
    "\n"
    "palvara-cli COMMAND --help shows the options of a command; palvara-cli --version the\n"
    "version.\n";

struct Arguments {
  std::string file;
  std::vector<std::string> positional;  // after FILE
  bool json = false;
  bool table = false;
  bool attachments = false;
  std::optional<std::uint32_t> subnode;  // props --subnode SID
  bool items = false;
  bool strict = false;  // check --strict
  ScanMode scan = ScanMode::kAuto;
};

// Parses "FILE [more positionals] [--json] [--table [attachments]]"; `positionals` is how many
// arguments must follow FILE. Returns false (after printing why) on anything else.
bool ParseArguments(const std::vector<std::string>& args, std::size_t positionals,
                    bool allowTable, Arguments& parsed, std::ostream& err) {
  std::vector<std::string> plain;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--json") {
      parsed.json = true;
    } else if (args[i] == "--items" && args[0] == "analyze") {
      parsed.items = true;
    } else if (args[i] == "--strict" && args[0] == "check") {
      parsed.strict = true;
    } else if ((args[i] == "--scan" || args[i] == "--no-scan") && args[0] == "analyze") {
      parsed.scan = args[i] == "--scan" ? ScanMode::kForce : ScanMode::kOff;
    } else if (args[i] == "--table" && allowTable) {
      parsed.table = true;
      if (i + 1 < args.size() && args[i + 1] == "attachments") {
        parsed.attachments = true;
        ++i;
      }
    } else if (args[i] == "--subnode" && allowTable && i + 1 < args.size()) {
      const std::optional<std::uint64_t> sid = ParseUnsigned(args[++i], 0xFFFFFFFF);
      if (sid) parsed.subnode = static_cast<std::uint32_t>(*sid);
      if (!sid) {
        err << "palvara-cli: not a subnode id: " << args[i] << "\n";
        return false;
      }
    } else if (!args[i].empty() && args[i][0] == '-' && args[i] != "-") {
      err << "palvara-cli: unknown option " << args[i] << "\n";
      return false;
    } else {
      plain.push_back(args[i]);
    }
  }
  if (plain.size() > positionals + 1) {
    err << "palvara-cli: unexpected argument " << plain[positionals + 1] << "\n";
    return false;
  }
  if (plain.size() != positionals + 1) {
    err << "palvara-cli: " << args[0] << " needs " << (positionals == 0 ? "FILE" : "FILE NID")
        << "\n";
    return false;
  }
  parsed.file = plain[0];
  parsed.positional.assign(plain.begin() + 1, plain.end());
  return true;
}

// Prints why a command failed (and {"error": ...} on stdout with --json); returns `code`.
int Fail(int code, const std::string& text, const Arguments& a, std::ostream& out,
         std::ostream& err) {
  err << "palvara-cli: " << text << "\n";
  if (a.json) out << JsonError(text);
  return code;
}

// Opens and indexes a store; prints the reason and returns false when it cannot be opened.
bool OpenAndIndex(const Arguments& a, StoreFile& store, std::ostream& out, std::ostream& err) {
  Status status = OpenStore(store, a.file);
  if (!status.ok()) {
    Fail(kExitCannotRead, status.message(), a, out, err);
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
  if (!OpenAndIndex(a, store, out, err)) return kExitCannotRead;
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
    out << JsonDump(j) << "\n";
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
  if (!OpenAndIndex(a, store, out, err)) return kExitCannotRead;
  if (a.json) {
    nlohmann::json list = nlohmann::json::array();
    store.nodes.ForEachPreorder([&list](const StoreNode& n, int depth) {
      list.push_back({{"nid", n.nid},
                      {"parent", n.parent != nullptr ? n.parent->nid : 0},
                      {"dataBid", n.BidData()},
                      {"subnodeBid", n.BidSub()},
                      {"depth", depth}});
    });
    out << JsonDump(list, -1) << "\n";
    return 0;
  }
  out << "nid         parent      data bid    subnode bid\n";
  store.nodes.ForEachPreorder([&out](const StoreNode& n, int depth) {
    char line[160];
    std::snprintf(line, sizeof line, "%*s0x%-8X  0x%-8X  0x%-8llX  0x%-8llX\n", 2 * depth, "",
                  n.nid, n.parent != nullptr ? n.parent->nid : 0u,
                  static_cast<unsigned long long>(n.BidData()),
                  static_cast<unsigned long long>(n.BidSub()));
    out << line;
  });
  return 0;
}

// Parses NID, opens and indexes FILE, loads its name map and finds the node. Returns 0, or
// the exit code after printing why.
int OpenNode(const Arguments& a, StoreFile& store, const StoreNode*& node, std::ostream& out,
             std::ostream& err) {
  const std::optional<std::uint64_t> nid = ParseUnsigned(a.positional[0], 0xFFFFFFFF);
  if (!nid) return Fail(kExitUsage, "not a node id: " + a.positional[0], a, out, err);
  if (!OpenAndIndex(a, store, out, err)) return kExitCannotRead;
  LoadNamedPropertyMap(store);
  node = FindNode(store, static_cast<std::uint32_t>(*nid));
  if (node == nullptr) {
    return Fail(kExitCannotRead,
                "node " + Hex(static_cast<std::uint32_t>(*nid)) + " is not in the node tree", a,
                out, err);
  }
  return kExitOk;
}

nlohmann::json EntryJson(const PropertyEntry& e, std::uint32_t codePage) {
  nlohmann::json j = {{"id", Hex4(e.id)},          {"type", Hex4(e.type)},
                      {"size", e.size()},          {"reference", e.reference},
                      {"value", nullptr}};
  if (e.value) j["value"] = ValuePreview(e, codePage);
  if (e.name != nullptr) j["name"] = *e.name;
  if (e.named != nullptr) {
    j["tag"] = Hex4(e.tag);
    if (e.named->propertySet) j["set"] = PropertySetName(*e.named->propertySet);
  }
  return j;
}

void PrintEntries(const PropertyList& list, std::uint32_t codePage, std::ostream& out) {
  for (const PropertyEntry& e : list.entries) {
    out << "  " << Hex4(e.id) << "  type " << Hex4(e.type) << "  size " << e.size()
        << "  ref " << Hex(e.reference);
    if (e.named != nullptr) {
      out << "  tag " << Hex4(e.tag);
      if (e.named->propertySet) out << " " << PropertySetName(*e.named->propertySet);
    }
    if (e.name != nullptr) out << "  name \"" << *e.name << "\"";
    if (e.value) out << "  " << ValuePreview(e, codePage);
    out << "\n";
  }
}

int Props(const Arguments& a, std::ostream& out, std::ostream& err) {
  StoreFile store;
  const StoreNode* node = nullptr;
  if (const int failed = OpenNode(a, store, node, out, err)) return failed;
  const std::uint32_t nid = node->nid;
  SubnodeList subnodes;
  ReadSubnodes(store, node->subnodeBlock, subnodes);
  // 8-bit strings are shown through the code page the item model chooses for this node.
  std::uint32_t codePage = StoreCodePage(store);
  if (const auto own = ReadPropertyList(store, node->dataBlock, subnodes)) {
    codePage = ItemCodePage(*own, codePage);
  }
  const BlockEntry* data = node->dataBlock;
  SubnodeList inner;  // the subnodes of a subnode that is read instead of the node
  if (a.attachments || a.subnode) {
    const std::uint32_t sid = a.attachments ? 0x671 : *a.subnode;
    const SubnodeEntry* sub = FindSubnodeEntry(subnodes, sid);
    if (sub == nullptr) {
      return Fail(kExitCannotRead,
                  "node " + Hex(nid) +
                      (a.attachments ? " has no attachment table" : " has no subnode " + Hex(sid)),
                  a, out, err);
    }
    data = sub->data;
    ReadSubnodes(store, sub->subnodes, inner);
  }
  std::unique_ptr<PropertyList> list =
      ReadPropertyList(store, data, data != node->dataBlock ? inner : subnodes);
  if (!list) {
    return Fail(kExitCannotRead, "node " + Hex(nid) + " holds no readable property list", a, out,
                err);
  }
  // Rows come newest first; print them in table order.
  std::vector<const PropertyList*> rows;
  for (const PropertyList* row = list.get(); row != nullptr; row = row->next.get()) {
    rows.insert(rows.begin(), row);
  }
  const bool asTable = a.table || rows.size() > 1 || list->rowCount != 1;
  if (a.json) {
    nlohmann::json j = {{"nid", nid}};
    if (asTable) {
      nlohmann::json jr = nlohmann::json::array();
      for (const PropertyList* row : rows) {
        nlohmann::json entries = nlohmann::json::array();
        for (const PropertyEntry& e : row->entries) entries.push_back(EntryJson(e, codePage));
        jr.push_back(entries);
      }
      j["rowCount"] = list->rowCount;
      j["rows"] = jr;
    } else {
      nlohmann::json entries = nlohmann::json::array();
      for (const PropertyEntry& e : list->entries) entries.push_back(EntryJson(e, codePage));
      j["entries"] = entries;
    }
    out << JsonDump(j) << "\n";
    return 0;
  }
  if (!asTable) {
    out << "Node " << Hex(nid) << ": " << list->count() << " properties\n";
    PrintEntries(*list, codePage, out);
    return 0;
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    out << "Row " << (i + 1) << " of " << list->rowCount << ": " << rows[i]->count()
        << " properties\n";
    PrintEntries(*rows[i], codePage, out);
  }
  return 0;
}

int Item(const Arguments& a, std::ostream& out, std::ostream& err) {
  StoreFile store;
  const StoreNode* node = nullptr;
  if (const int failed = OpenNode(a, store, node, out, err)) return failed;
  const std::uint32_t nid = node->nid;
  std::unique_ptr<ItemRecord> record =
      LoadItem(store, *node, MapContextFor(store));
  if (!record) {
    return Fail(kExitCannotRead, "node " + Hex(nid) + " holds no readable property list", a, out,
                err);
  }
  nlohmann::json j = ItemJson(*record);
  j["nid"] = nid;
  if (a.json) {
    out << JsonDump(j) << "\n";
  } else {
    PrintFlat(j, "", out);
  }
  return 0;
}

int Analyze(const Arguments& a, std::ostream& out, std::ostream& err) {
  return RunAnalyzeCommand(a.file, a.json, a.items, out, err, a.scan);
}

// make-sample --out FILE [--messages N] [--seed S] [--encoding none|permute|cyclic]
//             [--layout unicode|4k] [--compress] [--client pst|ost]
int MakeSample(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string file;
  SampleOptions options;
  bool encodingGiven = false, fourK = false, compress = false;
  std::optional<std::uint16_t> client;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--out" && hasValue) {
      file = args[++i];
    } else if ((a == "--messages" || a == "--seed") && hasValue) {
      const std::optional<std::uint64_t> value = ParseUnsigned(args[++i]);
      if (!value) {
        err << "palvara-cli: not a number: " << args[i] << "\n";
        return kExitUsage;
      }
      (a == "--messages" ? options.messages : options.seed) = *value;
    } else if (a == "--layout" && hasValue) {
      const std::string l = args[++i];
      if (l != "unicode" && l != "4k") {
        err << "palvara-cli: unknown layout " << l << " (unicode or 4k)\n";
        return kExitUsage;
      }
      fourK = l == "4k";
    } else if (a == "--compress") {
      compress = true;
    } else if (a == "--client" && hasValue) {
      const std::string c = args[++i];
      if (c != "pst" && c != "ost") {
        err << "palvara-cli: unknown client " << c << " (pst or ost)\n";
        return kExitUsage;
      }
      client = c == "ost" ? kClientOst : kClientPst;
    } else if (a == "--encoding" && hasValue) {
      encodingGiven = true;
      const std::string e = args[++i];
      if (e == "none") {
        options.encoding = EncodingMethod::kNone;
      } else if (e == "permute") {
        options.encoding = EncodingMethod::kPermute;
      } else if (e == "cyclic") {
        options.encoding = EncodingMethod::kCyclic;
      } else {
        err << "palvara-cli: unknown encoding " << e << "\n";
        return kExitUsage;
      }
    } else {
      err << "palvara-cli: unexpected argument " << a << "\n" << kUsage;
      return kExitUsage;
    }
  }
  if (file.empty()) {
    err << "palvara-cli: make-sample needs --out FILE\n" << kUsage;
    return kExitUsage;
  }
  if (fourK || compress) {
    // Stores of 4 KiB pages are OSTs, which Outlook keeps unencoded.
    options.layout = NdbLayout{&k4kGeometry, compress, client.value_or(kClientOst)};
    if (!encodingGiven) options.encoding = EncodingMethod::kNone;
  } else {
    options.layout.client = client.value_or(kClientPst);
  }
  SampleSummary summary;
  const Status status = WriteSampleStore(file, options, &summary);
  if (!status.ok()) {
    err << "palvara-cli: " << status.message() << "\n";
    return kExitCannotWrite;
  }
  out << "Wrote ";
  for (std::size_t i = 0; i < summary.files.size(); ++i) {
    out << (i > 0 ? ", " : "") << summary.files[i].string();
  }
  out << ": " << summary.folders << " folders, " << summary.mails
      << " mails, " << summary.contacts << " contacts, " << summary.appointments
      << " appointments, " << summary.tasks << " tasks, " << summary.notes << " notes, "
      << summary.journal << " journal entries, " << summary.attachments << " attachments ("
      << summary.attachmentBytes << " bytes)\n";
  return 0;
}

int Check(const Arguments& a, std::ostream& out, std::ostream& err) {
  const CheckReport report = CheckStore(a.file, CheckOptions{.strict = a.strict});
  if (!report.opened) return Fail(kExitCannotRead, report.openError, a, out, err);
  // Strictly, every broken rule of the format counts, whether or not a reader copes with it.
  auto severity = [&a](const CheckFinding& f) {
    if (a.strict) return f.violation ? "violation" : "warning";
    return f.error ? "error" : "warning";
  };
  if (a.json) {
    nlohmann::json findings = nlohmann::json::array();
    for (const CheckFinding& f : report.findings) {
      findings.push_back(
          {{"severity", severity(f)}, {"rule", f.rule}, {"section", f.section}, {"text", f.text}});
    }
    nlohmann::json result{
        {"source", a.file},      {"errors", report.Errors()}, {"warnings", report.Warnings()},
        {"pages", report.pages}, {"blocks", report.blocks},   {"nodes", report.nodes},
        {"findings", findings}};
    if (a.strict) result["violations"] = report.Violations();
    out << JsonDump(result) << "\n";
  } else {
    for (const CheckFinding& f : report.findings) {
      out << severity(f)
          << (a.strict && f.violation ? " " : std::string(8 - std::strlen(severity(f)), ' '))
          << f.rule;
      if (a.strict && !f.section.empty()) out << " ([MS-PST] " << f.section << ")";
      out << ": " << f.text << "\n";
    }
    if (a.strict) {
      out << report.Violations() << " violations, " << report.findings.size() - report.Violations()
          << " warnings (" << report.pages << " pages, " << report.blocks << " blocks, "
          << report.nodes << " nodes)\n";
    } else {
      out << report.Errors() << " errors, " << report.Warnings() << " warnings (" << report.pages
          << " pages, " << report.blocks << " blocks, " << report.nodes << " nodes)\n";
    }
  }
  const bool failed = a.strict ? report.Violations() != 0 : report.Errors() != 0;
  return failed ? kExitCheckErrors : kExitOk;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  using Handler = std::function<int(const Arguments&, std::ostream&, std::ostream&)>;
  struct Command {
    Handler handler;
    std::size_t positionals;
    bool table;
  };
  static const std::map<std::string, Command> kCommands = {
      {"info", {Info, 0, false}}, {"nodes", {Nodes, 0, false}}, {"props", {Props, 1, true}},
      {"item", {Item, 1, false}},  {"analyze", {Analyze, 0, false}},
      {"check", {Check, 0, false}}};
  if (const std::optional<int> answered = AnswerVersionOrHelp(args, out)) return *answered;
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    (args.empty() ? err : out) << kUsage;
    return args.empty() ? 2 : 0;
  }
  if (args[0] == "make-sample") return MakeSample(args, out, err);
  if (args[0] == "search") return SearchCommand(args, out, err);
  if (args[0] == "save" || args[0] == "export") return SaveCommand(args, out, err);
  if (args[0] == "recover") return RecoverCommand(args, out, err);
  auto command = kCommands.find(args[0]);
  if (command == kCommands.end()) {
    err << "palvara-cli: unknown command " << args[0] << "\n" << kUsage;
    return kExitUsage;
  }
  Arguments parsed;
  const Command& c = command->second;
  if (!ParseArguments(args, c.positionals, c.table, parsed, err)) {
    err << kUsage;
    return kExitUsage;
  }
  return c.handler(parsed, out, err);
}

}  // namespace palvara::cli

#include "cli/help.h"

#include <algorithm>
#include <ostream>

#include "common/version.h"

namespace palvara::cli {
namespace {

constexpr const char* kExitCodes =
    "\n"
    "exit codes: 0 success, 1 the input cannot be used, 2 usage, 3 the output cannot be\n"
    "written, 4 stopped, 5 check found errors, 6 an unexpected failure; see palvara-cli(1)\n";

const CommandHelp* FindHelp(const std::string& name) {
  const auto& all = CommandHelpTexts();
  const auto found = std::find_if(all.begin(), all.end(),
                                  [&name](const CommandHelp& h) { return name == h.name; });
  return found == all.end() ? nullptr : &*found;
}

}  // namespace

const std::vector<CommandHelp>& CommandHelpTexts() {
  static const std::vector<CommandHelp> kHelp = {
      {"info",
       "usage: palvara-cli info FILE [--json]\n"
       "\n"
       "Prints the header values of a store file: layout, encoding, the roots of both\n"
       "B-trees, the file size, the number of blocks and nodes, and every damage report.\n"
       "\n"
       "  --json    print one JSON object\n"},
      {"nodes",
       "usage: palvara-cli nodes FILE [--json]\n"
       "\n"
       "Prints the node tree in pre-order: node id, parent, data block id and subnode\n"
       "block id, indented by depth.\n"
       "\n"
       "  --json    print a list of {nid, parent, dataBid, subnodeBid, depth}\n"},
      {"props",
       "usage: palvara-cli props FILE NID [--table [attachments]] [--subnode SID] [--json]\n"
       "\n"
       "Prints the properties of node NID (decimal or 0x hex): id, type, size, reference\n"
       "and a preview of the value; named properties with their tag and property set.\n"
       "\n"
       "  --table               print every row of the node's table\n"
       "  --table attachments   print the attachment table of message NID\n"
       "  --subnode SID         the properties of subnode SID of NID (an attachment)\n"
       "  --json                print one JSON object\n"},
      {"item",
       "usage: palvara-cli item FILE NID [--json]\n"
       "\n"
       "Prints the item record of node NID: kind, class, every non-empty field, the\n"
       "attachments and the start of the body texts.\n"
       "\n"
       "  --json    print one JSON object\n"},
      {"analyze",
       "usage: palvara-cli analyze FILE [--json] [--items] [--scan|--no-scan]\n"
       "\n"
       "Runs the analysis: every folder with its item counts, the twelve counters and the\n"
       "damage found. Progress goes to stderr when it is a terminal; Ctrl-C stops and the\n"
       "partial result is printed. Entries go to the activity log.\n"
       "\n"
       "  --json    print one JSON object\n"
       "  --items   add one record per item\n"
       "  --scan    always scan the whole file to rebuild its indexes\n"
       "  --no-scan never scan (default: scan when the walk meets damage)\n"},
      {"save",
       "usage: palvara-cli save FILE --to DIR (--folder PATH)... | --all [--json]\n"
       "                        [--scan|--no-scan]\n"
       "\n"
       "Saves the named folders of FILE, or every folder, into a new PST in DIR, named\n"
       "after FILE and the time. Ctrl-C stops after the current item and still completes\n"
       "the new PST.\n"
       "\n"
       "  --to DIR        folder of the new PST (made when missing)\n"
       "  --folder PATH   a folder to save, as \"Personal Folders\\Inbox\\\"; repeatable\n"
       "                  (a backslash inside a folder's name is written twice:\n"
       "                  \"Personal Folders\\Q3\\\\2024\\\" is the one folder \"Q3\\2024\")\n"
       "  --all           save every folder the analysis finds\n"
       "  --json          print one JSON object\n"
       "  --scan          always scan the whole file to rebuild its indexes\n"
       "  --no-scan       never scan (default: scan when the walk meets damage)\n"},
      {"export",
       "usage: palvara-cli export FILE --to DIR --format mbox|maildir|eml|all\n"
       "                          (--folder PATH)... | --all [--json]\n"
       "\n"
       "Writes the named folders of FILE, or every folder, into DIR in the formats mail\n"
       "programs read: the folder tree as directories, mail as mbox, Maildir or EML files,\n"
       "contacts as vCard, appointments, tasks and journal entries as iCalendar, sticky\n"
       "notes as text files. Ctrl-C stops after the current item; what was written stays\n"
       "whole. Nothing in DIR is replaced or followed: a name that is taken gets the\n"
       "next free one (\"mbox (2)\", \"00001 Subject (2).eml\", \"Inbox (2)\"), and a link\n"
       "or another user's folder in the way is named on stderr and in the activity log.\n"
       "\n"
       "  --to DIR        the folder to write into (made when missing)\n"
       "  --format F      mbox, maildir, eml or all (contacts and calendars whatever F is)\n"
       "  --folder PATH   a folder to export, as \"Personal Folders\\Inbox\\\"; repeatable\n"
       "                  (a backslash inside a folder's name is written twice:\n"
       "                  \"Personal Folders\\Q3\\\\2024\\\" is the one folder \"Q3\\2024\")\n"
       "  --all           export every folder the analysis finds\n"
       "  --json          print one JSON object; \"folders\" gives each folder's directory,\n"
       "                  Maildir++ folder and mbox/vCard/iCalendar files, \"notices\" what\n"
       "                  was passed over\n"},
      {"recover",
       "usage: palvara-cli recover FILE [--to DIR] [--json] [--scan|--no-scan]\n"
       "\n"
       "Analyses FILE, then saves every folder into a new PST in DIR.\n"
       "\n"
       "  --to DIR   folder of the new PST (made when missing; default ./Repair)\n"
       "  --json     print one JSON object\n"
       "  --scan     always scan the whole file to rebuild its indexes\n"
       "  --no-scan  never scan (default: scan when the walk meets damage)\n"},
      {"check",
       "usage: palvara-cli check FILE [--strict] [--json]\n"
       "\n"
       "Validates the structure of a store file and lists its errors and warnings by rule.\n"
       "Exits with 0 when it has no error, 5 when it has.\n"
       "\n"
       "  --strict  also check every rule of the format a store must meet (heaps, property and\n"
       "            table contexts with their row matrices, the name-to-id map, the contents\n"
       "            tables against the folders' messages), each named with its [MS-PST]\n"
       "            section; exits with 5 when any is broken, whether or not readers cope\n"
       "  --json    print one JSON object\n"},
      {"search",
       "usage: palvara-cli search DIR [--recursive] [--json]\n"
       "\n"
       "Lists every name in DIR that contains \".pst\" or \".ost\" in any letter case: name,\n"
       "full path, size and time of the last change. Ctrl-C stops and prints what was found.\n"
       "\n"
       "  --recursive   look in the subfolders too (listed first)\n"
       "  --json        print one JSON object\n"},
      {"make-sample",
       "usage: palvara-cli make-sample --out FILE [--messages N] [--seed S]\n"
       "                               [--encoding none|permute|cyclic]\n"
       "                               [--layout unicode|4k] [--compress] [--client pst|ost]\n"
       "\n"
       "Writes a deterministic, realistic sample store with every kind of item.\n"
       "\n"
       "  --out FILE        the store to write\n"
       "  --messages N      number of mails\n"
       "  --seed S          seed of the generator\n"
       "  --encoding E      block encoding: none, permute or cyclic (4k: none by default)\n"
       "  --layout L        unicode (a PST, the default) or 4k (the 4 KiB pages of the OST\n"
       "                    files of Outlook 2013 and later)\n"
       "  --compress        store data blocks zlib-compressed where that is shorter (the 4k\n"
       "                    layout; implies --layout 4k)\n"
       "  --client C        the client signature: pst (\"SM\") or ost (\"SO\", the 4k default)\n"},
  };
  return kHelp;
}

std::optional<int> AnswerVersionOrHelp(const std::vector<std::string>& args, std::ostream& out) {
  if (args.size() == 1 && args[0] == "--version") {
    out << "palvara-cli " << kVersion << "\n";
    return 0;
  }
  if (args.empty()) return std::nullopt;
  const bool helpCommand = args[0] == "help" && args.size() == 2;
  const CommandHelp* help = FindHelp(helpCommand ? args[1] : args[0]);
  if (help == nullptr) return std::nullopt;
  const bool asked = helpCommand || std::any_of(args.begin() + 1, args.end(), [](const auto& a) {
                       return a == "--help" || a == "-h";
                     });
  if (!asked) return std::nullopt;
  out << help->text << "  -h, --help    this help\n" << kExitCodes;
  return 0;
}

}  // namespace palvara::cli

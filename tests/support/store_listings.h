// A store as three readers list it: our own analysis, pffexport, and pst-extractor (a reader
// that places table rows by the arithmetic of the format, installed into the build tree by
// scripts/install-deps.sh --checkers). Each listing gives the folders below the top of the
// personal folders and the items each holds, so that the three can be compared.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace palvara::testing {

// Folder path below the top ("Inbox\\Projects\\"; "" for the top itself) -> its items, each as
// "class | subject" (pffexport gives no class: "| subject").
struct StoreListing {
  std::map<std::string, std::multiset<std::string>> folders;

  std::size_t Items() const;
  // The same listing with the classes left out.
  StoreListing SubjectsOnly() const;
  // The same listing without the items of message class `messageClass`.
  StoreListing Without(const std::string& messageClass) const;
};

// What our analysis lists.
StoreListing OurListing(const std::filesystem::path& store);

// What pffexport lists (its export written into `workDir`); nullopt when it fails.
std::optional<StoreListing> PffexportListing(const std::filesystem::path& store,
                                             const std::filesystem::path& workDir);

// Whether pst-extractor is installed; when not, `why` says so.
bool HaveThirdReader(std::string* why);
// What pst-extractor lists; nullopt (with its message in `error`) when it cannot open the
// store or a folder lists a row it cannot read.
std::optional<StoreListing> ThirdReaderListing(const std::filesystem::path& store,
                                               std::string* error);

// Every difference between two listings, as lines ("Inbox\\: 3 items vs 2", "Inbox\\: only in
// the first: IPM.Note | Hello").
std::vector<std::string> ListingDifferences(const StoreListing& a, const StoreListing& b);

}  // namespace palvara::testing

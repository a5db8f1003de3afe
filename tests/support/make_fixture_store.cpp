// Writes a small synthetic store for the sample job of `make run`: a folder tree with mail
// (some with non-Latin subjects), contacts, appointments, tasks, notes and journal entries.
#include <fstream>
#include <iostream>

#include "tests/support/store_sketch.h"

int main(int argc, char** argv) {
  using namespace palvara::testing;
  if (argc != 2) {
    std::cerr << "usage: make-fixture-store OUTPUT\n";
    return 2;
  }
  StoreSketch s(0x8022);
  const struct {
    std::uint32_t nid;
    const char* name;
    const char* cls;
  } folders[] = {{0x8042, "Inbox", "IPF.Note"},         {0x8062, "Sent Items", "IPF.Note"},
                 {0x8082, "Drafts", "IPF.Note"},        {0x80A2, "Deleted Items", "IPF.Note"},
                 {0x80C2, "Contacts", "IPF.Contact"},   {0x80E2, "Calendar", "IPF.Appointment"},
                 {0x8102, "Tasks", "IPF.Task"},         {0x8122, "Notes", "IPF.StickyNote"},
                 {0x8142, "Journal", "IPF.Journal"},    {0x8162, "Projekte", "IPF.Note"}};
  for (const auto& f : folders) s.Folder(f.nid, 0x8022, f.name, f.cls);
  s.Folder(0x8182, 0x8042, "Receipts", "IPF.Note");
  const char* subjects[] = {"Quarterly report", "Re: lunch?", "東京の会議", "Grüße aus Köln",
                            "Facture été", "Weekly status"};
  std::uint32_t nid = 0x200004;
  auto next = [&nid] { return nid += 0x20; };
  for (int i = 0; i < 24; ++i) s.Message(next(), 0x8042, "IPM.Note", subjects[i % 6]);
  for (int i = 0; i < 6; ++i) s.Message(next(), 0x8182, "IPM.Note", "Receipt");
  for (int i = 0; i < 5; ++i) s.Message(next(), 0x8062, "IPM.Note", subjects[i]);
  s.Message(next(), 0x8082, "IPM.Note", "Draft");
  s.Message(next(), 0x80A2, "IPM.Note", "Old news");
  for (int i = 0; i < 4; ++i) {
    s.Message(next(), 0x80C2, "IPM.Contact", "Contact",
              {{0x3A06, 0x001F, Utf16Of("Ada")}, {0x3A11, 0x001F, Utf16Of("Lovelace")}});
  }
  s.Message(next(), 0x80E2, "IPM.Appointment", "Planning");
  s.Message(next(), 0x8102, "IPM.Task", "Write the report");
  s.Message(next(), 0x8122, "IPM.StickyNote", "Remember");
  s.Message(next(), 0x8142, "IPM.Activity", "Phone call", {{0x8700, 0x001F, Utf16Of("Phone call")}});
  s.Message(next(), 0x8162, "IPM.Note", "Projektplan");
  const palvara::Bytes image = s.Build();
  std::ofstream out(argv[1], std::ios::binary);
  out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  if (!out) {
    std::cerr << "make-fixture-store: cannot write " << argv[1] << "\n";
    return 1;
  }
  std::cout << "wrote " << argv[1] << " (" << image.size() << " bytes)\n";
  return 0;
}

#!/usr/bin/env python3
"""Whether pffexport and readpst find in a store the items our analysis lists.

usage: bench/agree.py STORE [PALVARA-CLI]

Ours: `palvara-cli analyze --json --items` (folder, class, subject of every item).
pffexport (-m items): every item directory, its folder and subject; compared item by item.
readpst (-j 0 -D -M -b): the files it writes per folder; it writes mail, contacts,
appointments and journal entries, not tasks or sticky notes, so those are left out of its count.
Prints one line per reader and exits 1 when a reader differs.
"""
import collections
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile

ITEM_DIR = re.compile(r"[A-Za-z]+[0-9]{5}")
NOT_WRITTEN_BY_READPST = ("IPM.Task", "IPM.StickyNote")


def ours(store, cli):
    out = subprocess.run([cli, "analyze", store, "--json", "--items"], capture_output=True,
                         text=True, check=True).stdout
    items = collections.Counter()
    for m in json.loads(out)["messages"]:
        folder = m["folder"].split("\\", 1)[1]  # below the top folder
        items[(folder, m["class"], m["subject"])] += 1
    return items


def subject_of(item_dir):
    files = [item_dir / "OutlookHeaders.txt"] + sorted(
        p for p in item_dir.glob("*.txt")
        if p.name not in ("Message.txt", "InternetHeaders.txt", "OutlookHeaders.txt"))
    for f in files:
        if not f.exists():
            continue
        for line in f.read_text(errors="replace").splitlines():
            if line.startswith("Subject:"):
                return line[8:].lstrip("\t")
    return ""


def pffexport(store, work):
    subprocess.run(["pffexport", "-q", "-m", "items", "-t", str(work / "pff"), store],
                   capture_output=True, check=True)
    exported = work / "pff.export"
    tops = [d for d in exported.iterdir() if d.is_dir() and d.name not in
            ("Search Root", "SPAM Search Folder 2", "IPM_COMMON_VIEWS")]
    items = collections.Counter()
    for root, dirs, _ in os.walk(tops[0]):
        if "Attachments" in pathlib.Path(root).parts:
            continue
        for d in dirs:
            if ITEM_DIR.fullmatch(d):
                folder = str(pathlib.Path(root).relative_to(tops[0]))
                folder = "" if folder == "." else folder.replace("/", "\\") + "\\"
                items[(folder, subject_of(pathlib.Path(root) / d))] += 1
    return items


def readpst(store, work):
    out = work / "rp"
    out.mkdir()
    subprocess.run(["readpst", "-j", "0", "-D", "-M", "-b", "-o", str(out), store],
                   capture_output=True, check=True)
    top = next(d for d in out.iterdir() if d.is_dir())
    counts = collections.Counter()
    for root, _, files in os.walk(top):
        folder = str(pathlib.Path(root).relative_to(top))
        folder = "" if folder == "." else folder.replace("/", "\\") + "\\"
        counts[folder] += sum(1 for f in files if f.isdigit() or re.fullmatch(r"[0-9]+(\.\w+)?", f))
    return counts


def main():
    store = sys.argv[1]
    cli = sys.argv[2] if len(sys.argv) > 2 else str(pathlib.Path(__file__).parent.parent / "build/cli/palvara-cli")
    listed = ours(store, cli)
    with tempfile.TemporaryDirectory() as tmp:
        work = pathlib.Path(tmp)
        by_subject = collections.Counter()
        by_folder = collections.Counter()
        for (folder, cls, subject), n in listed.items():
            by_subject[(folder, subject)] += n
            if not cls.startswith(NOT_WRITTEN_BY_READPST):
                by_folder[folder] += n
        pff = pffexport(store, work)
        rp = readpst(store, work)
    total = sum(listed.values())
    pff_missing = by_subject - pff
    pff_extra = pff - by_subject
    rp_diff = {f: (by_folder[f], rp[f]) for f in set(by_folder) | set(rp) if by_folder[f] != rp[f]}
    print(f"ours: {total} items")
    print(f"pffexport: {sum(pff.values())} items, {sum(pff_missing.values())} of ours missing, "
          f"{sum(pff_extra.values())} not ours")
    print(f"readpst: {sum(rp.values())} items written of {sum(by_folder.values())} it writes; "
          f"folders that differ: {rp_diff or 'none'}")
    return 0 if not pff_missing and not pff_extra and not rp_diff else 1


if __name__ == "__main__":
    sys.exit(main())

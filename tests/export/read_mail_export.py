#!/usr/bin/python3
"""Reads an export folder with Python's own mail, vCard and iCalendar parsers and prints what
it found as JSON: per folder directory, the messages of its mbox, its EML files and its Maildir
folder (subject, addresses, date, bodies, attachments with their size and CRC-32, an attached
message's subject and bodies, parser defects), and the
number of cards, events, to-dos and journal entries.

With --count, only the number of messages in each mbox file below DIR, by its directory.

usage: read_mail_export.py [--count] DIR"""
import email
import email.policy
import email.utils
import json
import mailbox
import os
import re
import sys
import zlib


# Identifiers kept as the sender's program wrote them ("<a$b@c@d>"): a stricter parser than the
# sender's own flags them, but they are the message's data, not a fault of the export.
KEPT_AS_SENT = {"message-id", "in-reply-to", "references"}


def walk_defects(msg):
    found = [type(d).__name__ for d in msg.defects]
    for part in msg.iter_parts() if msg.is_multipart() else []:
        found += walk_defects(part)
    for name, value in msg.items():
        if name.lower() not in KEPT_AS_SENT:
            # The obsolete syntax of RFC 5322 section 4 is what parsers must accept: a notice.
            found += ["%s:%s" % (name, type(d).__name__) for d in getattr(value, "defects", [])
                      if type(d).__name__ != "ObsoleteHeaderDefect"]
    return found


def addresses(msg, name):
    out = []
    for header in msg.get_all(name, []):
        for group_or_addr in getattr(header, "groups", []):
            if group_or_addr.display_name is not None and not group_or_addr.addresses:
                out.append({"name": group_or_addr.display_name, "address": ""})
            for a in group_or_addr.addresses:
                out.append({"name": a.display_name, "address": a.addr_spec if a.domain else ""})
    return out


def describe(raw):
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    plain = msg.get_body(("plain",))
    html = msg.get_body(("html",))
    attachments = []
    for part in msg.iter_attachments():
        if part.get_content_type() == "message/rfc822":
            inner = part.get_payload(0)
            data = inner.as_bytes()
            inner_plain = inner.get_body(("plain",))
            inner_html = inner.get_body(("html",))
            attachments.append({"filename": part.get_filename() or "", "type": "message/rfc822",
                                "subject": str(inner.get("subject", "")), "size": len(data),
                                "plain": inner_plain.get_content() if inner_plain is not None else None,
                                "html": inner_html.get_content() if inner_html is not None else None})
            continue
        data = part.get_payload(decode=True) or b""
        attachments.append({"filename": part.get_filename() or "", "type": part.get_content_type(),
                            "size": len(data), "crc32": zlib.crc32(data)})
    inline = []
    related = [p for p in msg.walk() if p.get_content_type() == "multipart/related"]
    for r in related:
        for p in r.iter_parts():
            if p.get("content-id"):
                inline.append(str(p.get("content-id")).strip("<>"))
    date = msg.get("date")
    return {
        "subject": str(msg.get("subject", "")),
        "from": addresses(msg, "from"),
        "to": addresses(msg, "to"),
        "cc": addresses(msg, "cc"),
        "date": int(date.datetime.timestamp()) if date is not None and date.datetime else None,
        "plain": plain.get_content() if plain is not None else None,
        "html": html.get_content() if html is not None else None,
        "attachments": attachments,
        "inline": inline,
        "status": str(msg.get("status", "")),
        "defects": walk_defects(msg),
    }


def mboxrd_unquote(raw):
    return re.sub(rb"(?m)^>(>*From )", rb"\1", raw)


def read_calendar(path, kind):
    import icalendar
    with open(path, "rb") as f:
        cal = icalendar.Calendar.from_ical(f.read())
    return [c for c in cal.walk() if c.name == kind]


def describe_event(event):
    start = event.get("dtstart")
    out = {"summary": str(event.get("summary", "")), "location": str(event.get("location", "")),
           "description": str(event.get("description", "")),
           "allDay": start is not None and not hasattr(start.dt, "hour"),
           "organizer": str(event.get("organizer", "")),
           "attendees": [str(a) for a in (event.get("attendee") if isinstance(event.get("attendee"), list)
                                          else [event.get("attendee")] if event.get("attendee") else [])]}
    if event.get("rrule") is not None:
        out["rrule"] = event.get("rrule").to_ical().decode()
    if start is not None and hasattr(start.dt, "hour") and start.dt.tzinfo is not None:
        import datetime
        out["startUtc"] = start.dt.astimezone(datetime.timezone.utc).isoformat()
    return out


def describe_card(card):
    return {"fn": card.fn.value,
            "n": str(card.n.value.family) + ";" + str(card.n.value.given) if hasattr(card, "n") else "",
            "org": card.org.value if hasattr(card, "org") else [],
            "emails": [e.value for e in card.contents.get("email", [])],
            "tels": [t.value for t in card.contents.get("tel", [])]}


def count_mboxes(root):
    counts = {}
    for dirpath, _, filenames in os.walk(root):
        if "mbox" in filenames:
            rel = os.path.relpath(dirpath, root)
            counts["" if rel == "." else rel] = len(mailbox.mbox(os.path.join(dirpath, "mbox"), create=False))
    json.dump(printable(counts), sys.stdout)


def printable(value):
    """Strings as UTF-8 can carry them: a header in a charset its bytes do not fit leaves
    undecodable bytes behind, which become "?"."""
    if isinstance(value, str):
        return value.encode("utf-8", "replace").decode("utf-8")
    if isinstance(value, list):
        return [printable(v) for v in value]
    if isinstance(value, dict):
        return {printable(k): printable(v) for k, v in value.items()}
    return value


def main():
    if sys.argv[1] == "--count":
        count_mboxes(sys.argv[2])
        return
    root = sys.argv[1]
    result = {"folders": {}, "maildir": {}}
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d != "Maildir" or dirpath != root)
        rel = os.path.relpath(dirpath, root)
        rel = "" if rel == "." else rel
        entry = {"mbox": [], "eml": [], "cards": 0, "events": 0, "todos": 0, "journals": 0,
                 "notes": 0}
        if "mbox" in filenames:
            box = mailbox.mbox(os.path.join(dirpath, "mbox"), create=False)
            entry["mbox"] = [describe(mboxrd_unquote(box.get_bytes(k))) for k in box.keys()]
        for name in sorted(filenames):
            full = os.path.join(dirpath, name)
            if name.endswith(".eml"):
                with open(full, "rb") as f:
                    entry["eml"].append(describe(f.read()))
            elif name.endswith(".txt"):
                entry["notes"] += 1
            elif name == "contacts.vcf":
                import vobject
                with open(full, encoding="utf-8") as f:
                    cards = list(vobject.readComponents(f.read()))
                entry["cards"] = len(cards)
                entry["cardList"] = [describe_card(c) for c in cards]
            elif name == "calendar.ics":
                events = read_calendar(full, "VEVENT")
                entry["events"] = len(events)
                entry["eventList"] = [describe_event(e) for e in events]
            elif name == "tasks.ics":
                entry["todos"] = len(read_calendar(full, "VTODO"))
            elif name == "journal.ics":
                entry["journals"] = len(read_calendar(full, "VJOURNAL"))
        result["folders"][rel] = entry
    maildir_root = os.path.join(root, "Maildir")
    if os.path.isdir(maildir_root):
        top = mailbox.Maildir(maildir_root, factory=None, create=False)
        boxes = {"": top}
        for name in top.list_folders():
            boxes[name] = top.get_folder(name)
        for name, box in boxes.items():
            keys = sorted(box.keys(), key=lambda k: int(k.split(".")[1][1:].split("P")[0]))
            result["maildir"][name] = [
                dict(describe(box.get_bytes(k)), flags=box.get_message(k).get_flags())
                for k in keys]
    json.dump(printable(result), sys.stdout)


main()

"""Reads an update record back: record_check.py LOG LINES IMAGE...

Every line of LOG but those the test planted (beginning with {"planted)
must be whole JSON, LINES of them, each checked against what happened: the
image named (IMAGE, one per line; a name cut short ends with U+2026), its
size and SHA-256, the records sent against the image's lines, the host, and
the start time and duration against the file's time of writing. Prints
the last line's outcome, status, records, re-sends and instrument."""
import calendar
import hashlib
import json
import os
import socket
import sys
import time

log, lines, images = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
written = os.stat(log).st_mtime
records = [json.loads(l) for l in open(log, "rb").read().decode().splitlines()
           if not l.startswith('{"planted')]
assert len(records) == lines, f"{len(records)} lines"
for r, path in zip(records, images):
    image = r["image"]
    name = path.encode().decode("latin-1")
    assert image["file"] == name or (image["file"][-1] == "\u2026" and
                                     name.startswith(image["file"][:-1])), image["file"]
    data = open(path, "rb").read()
    if "sha256" in image or r["outcome"] == "done":
        assert image["size"] == len(data) and image["offset"] == 0, image
        assert image["sha256"] == hashlib.sha256(data).hexdigest()
    assert r["host"] == socket.gethostname() and r["mode"] == "download" and r["baud"] == 38400
    started = calendar.timegm(time.strptime(r["time"], "%Y-%m-%dT%H:%M:%SZ"))
    assert -0.2 < written - started - r["seconds"] < 2.0, (r["time"], r["seconds"], written)
    sent = sum(s["records"] for s in r["sections"])
    if r["outcome"] == "done":
        assert sent == sum(1 for l in data.splitlines() if l.strip()), sent
i = r["instrument"] or {}
print(r["outcome"], r["status"], sent, sum(s["resends"] for s in r["sections"]),
      ascii(i.get("answer", "")), i.get("boot", "-"))

"""record_check.py LOG LINES IMAGE...: every line of LOG but the planted ones
({"planted...) is whole JSON, LINES of them, each checked against the run:
its image (a name cut short ends with U+2026), size, SHA-256, records sent,
host, and start and duration against the file's time of writing. Prints the
last line's outcome, status, records, re-sends and instrument."""
import calendar, hashlib, json, os, socket, sys, time

log, lines, images = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
records = [json.loads(l) for l in open(log, "rb").read().decode().splitlines()
           if not l.startswith('{"planted')]
assert len(records) == lines, f"{len(records)} lines"
for r, path in zip(records, images):
    name, data, image = path.encode().decode("latin-1"), open(path, "rb").read(), r["image"]
    assert image["file"] == name or image["file"][-1] == "\u2026" and name.startswith(image["file"][:-1])
    if "sha256" in image or r["outcome"] == "done":
        assert [image["size"], image["offset"], image["sha256"]] == [len(data), 0, hashlib.sha256(data).hexdigest()]
    assert r["host"] == socket.gethostname() and r["mode"] == "download" and r["baud"] == 38400
    started = calendar.timegm(time.strptime(r["time"], "%Y-%m-%dT%H:%M:%SZ"))
    assert -0.2 < os.stat(log).st_mtime - started - r["seconds"] < 2.0, r
    sent = sum(s["records"] for s in r["sections"])
    assert r["outcome"] != "done" or sent == sum(1 for l in data.splitlines() if l.strip())
i = r["instrument"] or {}
print(r["outcome"], r["status"], sent, sum(s["resends"] for s in r["sections"]),
      ascii(i.get("answer", "")), i.get("boot", "-"))

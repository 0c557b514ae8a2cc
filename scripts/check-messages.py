#!/usr/bin/env python3
"""Every message kelo prints is explained in its manual page.

Reads the messages out of the program's sources: the string literals given
to printf, fprintf, fputs and puts, and every literal that ends a line and
is handed to another function (a helper that prints it) other than the
serial link's send functions. A literal is a
message when it has a letter in it; the banner box and the usage text are
not. Each line of a message, with its printf conversions as placeholders
(any word: "COMn" for "COM%d"), must appear in the page as groff renders it
(plain text, blanks folded). Usage: check-messages.py PAGE SOURCE_DIR
"""
import pathlib
import re
import subprocess
import sys

PRINTERS = {"printf", "fprintf", "fputs", "puts"}
# Not diagnostics: the banner's box lines and the usage text (shown as a
# whole under OPTIONS).
NOT_MESSAGES = re.compile(r"^(\*|Kelo  -38|38400, N 8 1)")
BLANKS = re.compile(r"\s*")
LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
CONVERSION = re.compile(r"%[-+ #0]*[0-9]*(?:\.[0-9]+)?(?:hh|h|ll|l|z)?[diouxXcs]")
ESCAPES = {"n": "\n", "r": "\r", "b": "\b", "t": "\t", '"': '"', "\\": "\\", "'": "'"}


def strip_comments(code):
    """Blanks out comments and character literals, keeping string literals
    and line numbers."""
    pattern = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:[^"\\\n]|\\.)*"|\'(?:[^\'\\\n]|\\.)*\'', re.S)

    def blank(match):
        text = match.group(0)
        return text if text[0] == '"' else re.sub(r"[^\n]", " ", text)

    return pattern.sub(blank, code)


def callee_before(code, at):
    """The function whose argument list holds position at, or "" when the
    position is not inside a call's parentheses."""
    depth = 0
    for i in range(at - 1, -1, -1):
        c = code[i]
        if c == ")":
            depth += 1
        elif c == "(":
            if depth == 0:
                name = re.search(r"([A-Za-z_][A-Za-z_0-9]*)\s*$", code[:i])
                return name.group(1) if name else ""
            depth -= 1
        elif c in ";{}" and depth == 0:
            return ""
    return ""


def messages(source_dir):
    """(file, line, text) of every message in the sources."""
    found = []
    for path in sorted(pathlib.Path(source_dir).rglob("*.cpp")):
        code = strip_comments(path.read_text())
        at = 0
        while (match := LITERAL.search(code, at)) is not None:
            start, text, at = match.start(), "", match.start()
            # Adjacent literals are one string.
            while (match := LITERAL.match(code, at)) is not None:
                text += match.group(1)
                at = BLANKS.match(code, match.end()).end()
            before = code[:start].rstrip()
            if not before.endswith(("(", ",")):
                continue
            text = re.sub(r"\\(.)", lambda m: ESCAPES.get(m.group(1), m.group(1)), text)
            callee = callee_before(code, start)
            # What a send_ function takes goes to the instrument.
            helper = callee and not callee.startswith("send") and text.endswith("\n")
            if callee not in PRINTERS and not helper:
                continue
            if not re.search(r"[A-Za-z]", text) or NOT_MESSAGES.match(text):
                continue
            found.append((path, code.count("\n", 0, start) + 1, text))
    return found


def pattern_of(line):
    """A regular expression for one line of a message as the page shows it."""
    parts = []
    for piece in re.split(r"(%%|" + CONVERSION.pattern + ")", line):
        if piece == "%%":
            parts.append("%")
        elif CONVERSION.fullmatch(piece):
            parts.append(r"\S+")
        else:
            parts.append(re.escape(re.sub(r"\s+", " ", piece)))
    return "".join(parts)


def main():
    page, source_dir = sys.argv[1], sys.argv[2]
    rendered = subprocess.run(
        ["groff", "-man", "-rHY=0", "-Tascii", "-P-cbou", page],
        check=True, capture_output=True, text=True, env={"LC_ALL": "C", "PATH": "/usr/bin:/bin"},
    ).stdout
    text = " ".join(rendered.split())
    missing = 0
    found = messages(source_dir)
    for path, line_number, message in found:
        for line in re.split(r"[\r\n\b]+", message):
            line = line.strip()
            if re.search(r"[A-Za-z]", line) and not re.search(pattern_of(line), text):
                print(f"check-messages: {path}:{line_number}: {line!r} is not in {page}",
                      file=sys.stderr)
                missing += 1
    if missing or not found:
        print(f"check-messages: {missing} of {len(found)} messages missing from {page}",
              file=sys.stderr)
        return 1
    print(f"check-messages: all {len(found)} messages of {source_dir} are in {page}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

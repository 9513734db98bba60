"""Reading hungscan's transcript, and naming scene windows."""

import re

CRLF = b"\r\n"  # the Windows build: the C runtime's text mode
LF = b"\n"      # the Linux build
IME = b"Default IME"
# Windows' text input window, which a frozen thread may own besides its "Default IME" one.
TEXT_INPUT = b"MSCTFIME UI"


# A caption that tries to forge report lines and act on the terminal.
HOSTILE = (b"x\n Path: C:\\Windows\\explorer.exe\n\nUnresponsive Window:\n Caption: y"
           b"\r\x1b]0;retitled\x07\x1b[2J\x1b[31m\t\x7f")


def shown(text):
    """A caption or path as the report shows it: control bytes as '?'."""
    return bytes(b"?"[0] if c < 0x20 or c == 0x7F else c for c in text)


def banner(eol):
    return b"Checking for unresponsive windows..." + eol


def trailer(eol):
    return eol + eol + b"Done."


def parse(transcript, eol=CRLF):
    """The blocks of a transcript as (caption, path or error) pairs; fails on any stray byte."""
    head, tail = banner(eol), trailer(eol)
    if not transcript.startswith(head) or not transcript.endswith(tail):
        raise AssertionError("no banner or trailer in %r" % transcript[:200])
    e = re.escape(eol)
    block = re.compile(e + b"Unresponsive Window:" + e + b" Caption: ([^\r\n]*)" + e +
                       b"(?: Path: ([^\r\n]*)" + e + b"|(!! Error \\(OpenProcess\\))" + e + b")?")
    body = transcript[len(head):len(transcript) - len(tail)]
    blocks, pos = [], 0
    while pos < len(body):
        match = block.match(body, pos)
        if match is None:
            raise AssertionError("malformed transcript at %r" % body[pos:pos + 200])
        blocks.append((match.group(1), match.group(2) or match.group(3)))
        pos = match.end()
    return blocks


def group(kind, *captions):
    """A scene program's argument: a kind of thread and its windows' captions, hex-encoded."""
    return kind + "".join(":" + c.hex() for c in captions)

"""Strict readers for the two voice outputs, written apart from the programs so that
a fault shared by a writer and its reader cannot hide: the bank file of KARVO2 and
the voice text of KARVO.

    /usr/bin/python3 -W error check_voice_readers.py [PATH ...]
                     [--pair BANK.fxb TEXT.opm] ... [--self-test BANK.fxb TEXT.opm]

PATH is a .fxb file (read as a bank), a .opm file (read as voice text) or a folder,
whose *.fxb and *.opm files are all read. --pair takes the outputs of both programs
for one input given under one name and checks that they hold the same voices.
--self-test breaks a good bank and text in many ways and requires every broken copy
to be rejected, and the legitimately cut forms of the text to be accepted, so that
the checks above are known to be able to fail.

One line per file, pair or self-test; the first fault stops the run with status 1.
"""
import pathlib
import re
import sys


class Fault(Exception):
    """A file, or a pair of files, breaks the format."""


def need(ok, what):
    if not ok:
        raise Fault(what)


# ---------------------------------------------------------------------------
# Bank file: big-endian header, then one opaque chunk of 128 program blocks.

BANK_HEADER = 160
PROGRAMS = 128
BLOCK = 71
PARAMS = 55
NAME = 15
CHUNK = PROGRAMS * BLOCK
BANK_SIZE = BANK_HEADER + CHUNK

# Voice-wide parameters, in block order: (name, lowest, highest).
VOICE_FIELDS = [
    ("CON", 0, 7), ("FL", 0, 7), ("AMS", 0, 3), ("PMS", 0, 7), ("NFRQ", 0, 127),
    ("NE", 0, 1), ("LFRQ", 127, 127), ("PMD", 64, 64), ("AMD", 64, 64), ("WF", 0, 3),
    ("SLOT", 0, 120),
]
# One operator as the bank stores it.
BANK_OP_FIELDS = [
    ("TL", 0, 255), ("AR", 0, 31), ("D1R", 0, 31), ("D1L", 0, 15), ("D2R", 0, 31),
    ("RR", 0, 15), ("KS", 0, 3), ("MUL", 0, 15), ("DT1", 0, 7), ("DT2", 0, 3),
    ("AMS-EN", 0, 1),
]
OPERATORS = ["M1", "C1", "M2", "C2"]
OP_BASE = len(VOICE_FIELDS)          # the first operator starts behind the voice fields

# What a slot holds before any voice lands in it.
RESET_VOICE = dict(zip([f[0] for f in VOICE_FIELDS], [0, 0, 0, 0, 0, 0, 127, 64, 64, 0, 64]))
RESET_OP = dict(zip([f[0] for f in BANK_OP_FIELDS], [0, 31, 0, 0, 0, 4, 0, 1, 0, 0, 0]))
# A captured LFO or noise setting may reach a slot that no voice names.
LFO_FIELDS = {"AMS", "PMS", "NFRQ", "NE", "WF"}

INIT_NAME = re.compile(r"init-([0-9]+)")
VOICE_NAME = re.compile(r".*-@(0|[1-9][0-9]*)", re.S)


def printable(b):
    return 0x20 <= b <= 0x7E


def read_bank(data):
    """Returns the 128 programs as dicts: voice fields by name, 'ops' (four dicts of
    operator fields), 'name' and 'reset' (whether the slot still has its first name)."""

    def u32(at):
        return int.from_bytes(data[at:at + 4], "big")

    need(len(data) >= BANK_HEADER, "%d bytes, shorter than the %d-byte header" % (len(data), BANK_HEADER))
    need(data[0:4] == b"CcnK", "magic is %r, not 'CcnK'" % data[0:4])
    need(u32(4) == 0, "byte-size field is %d, not 0" % u32(4))
    need(data[8:12] == b"FBCh", "kind is %r, not 'FBCh' (an opaque-chunk bank)" % data[8:12])
    need(u32(12) == 1, "format version %d, not 1" % u32(12))
    need(data[16:20] == b"QVTX", "plug-in id %r, not 'QVTX'" % data[16:20])
    need(u32(20) == 1, "plug-in version %d, not 1" % u32(20))
    need(u32(24) == PROGRAMS, "%d programs, not %d" % (u32(24), PROGRAMS))
    need(data[28:156] == bytes(128), "reserved bytes are not all zero")
    size = u32(156)
    need(size == CHUNK, "chunk size %d, not %d" % (size, CHUNK))
    need(size == len(data) - BANK_HEADER,
         "chunk size %d, but %d bytes follow it" % (size, len(data) - BANK_HEADER))

    programs = []
    for slot in range(PROGRAMS):
        at = BANK_HEADER + slot * BLOCK
        block = data[at:at + BLOCK]
        where = "slot %d: " % slot

        def field(name, lo, hi, value):
            need(lo <= value <= hi, where + "%s is %d, outside %d..%d" % (name, value, lo, hi))
            return value

        prog = {name: field(name, lo, hi, block[k]) for k, (name, lo, hi) in enumerate(VOICE_FIELDS)}
        need(prog["SLOT"] % 8 == 0, where + "SLOT %d is not a multiple of 8" % prog["SLOT"])
        prog["ops"] = []
        for n, op in enumerate(OPERATORS):
            base = OP_BASE + n * len(BANK_OP_FIELDS)
            prog["ops"].append({name: field(op + " " + name, lo, hi, block[base + k])
                                for k, (name, lo, hi) in enumerate(BANK_OP_FIELDS)})

        raw = block[PARAMS:PARAMS + NAME]
        need(block[BLOCK - 1] == 0, where + "last byte is %d, not 0" % block[BLOCK - 1])
        end = raw.find(0)
        name = raw if end < 0 else raw[:end]
        need(all(printable(b) for b in name), where + "name %r is not printable ASCII" % name)
        need(all(b == 0 or printable(b) for b in raw), where + "name bytes %r hold a control byte" % raw)
        prog["name"] = name.decode("ascii")

        # A voice name is never of the form init-N, so such a name is the slot's
        # first one and the whole block must be as it was then.
        init = INIT_NAME.fullmatch(prog["name"])
        prog["reset"] = bool(init)
        if init:
            need(int(init.group(1)) == slot, where + "holds the first name of slot %s" % init.group(1))
            need(raw[end:] == bytes(NAME - end), where + "bytes behind its first name are not zero")
            for name, want in RESET_VOICE.items():
                need(name in LFO_FIELDS or prog[name] == want,
                     where + "unnamed, but %s is %d, not %d" % (name, prog[name], want))
            for op, values in zip(OPERATORS, prog["ops"]):
                need(values == RESET_OP, where + "unnamed, but operator %s is not reset" % op)
        elif len(prog["name"]) < NAME:
            # An uncut name ends in the voice number, whose low seven bits are the slot.
            m = VOICE_NAME.fullmatch(prog["name"])
            need(m and int(m.group(1)) <= 255 and int(m.group(1)) & 127 == slot,
                 where + "name %r does not end in -@N for a voice of this slot" % prog["name"])
        programs.append(prog)
    return programs


# ---------------------------------------------------------------------------
# Voice text: a fixed header, then one block per voice record.

TEXT_HEADER = [
    "//Veltrane sound bank Paramer Ver2001.02.26",
    "//LFO: LFRQ AMD PMD WF NFRQ",
    "//@:[Num] [Name]",
    "//CH: PAN\tFL CON AMS PMS SLOT NE",
    "//[OPname]: AR D1R D2R\tRR D1L\tTL\tKS MUL DT1 DT2 AMS-EN",
]
CH_FIELDS = [("PAN", 192, 192), ("FL", 0, 7), ("CON", 0, 7), ("AMS", 0, 3), ("PMS", 0, 7),
             ("SLOT", 0, 120), ("NE", 0, 1)]
TEXT_OP_FIELDS = [("AR", 0, 31), ("D1R", 0, 31), ("D2R", 0, 31), ("RR", 0, 15), ("D1L", 0, 15),
                  ("TL", 0, 255), ("KS", 0, 3), ("MUL", 0, 15), ("DT1", 0, 7), ("DT2", 0, 3),
                  ("AMS-EN", 0, 128)]


def printf_d(width=1):
    """A regex group for what printf's %<width>d makes of a value >= 0: right-aligned
    in at least `width` characters, no sign, no leading zero."""
    forms = [" " * (width - 1) + "[0-9]"]
    forms += [" " * (width - k) + "[1-9][0-9]{%d}" % (k - 1) for k in range(2, width + 1)]
    forms.append("[1-9][0-9]{%d,}" % width)
    return "(" + "|".join(forms) + ")"


D, D3 = printf_d(), printf_d(3)
VOICE_LINE = re.compile("@:" + D + " (.*)-@" + D)       # the name may itself hold "-@"
LFO_LINE = re.compile("LFO: 128 64 64 " + D + " " + D)
CH_LINE = re.compile("CH:" + " ".join([D3] * len(CH_FIELDS)))
OP_LINES = {op: re.compile(op + ":" + " ".join([D3] * len(TEXT_OP_FIELDS))) for op in OPERATORS}


def read_text(text):
    """Returns the blocks as dicts: 'number', 'name', 'slot', 'WF', 'NFRQ', and 'ch' and
    'ops' (dicts of fields by name), each None where the last block stops early."""
    need(text.endswith("\n"), "does not end with a newline")
    lines = text.split("\n")[:-1]
    for n, want in enumerate(TEXT_HEADER):
        need(n < len(lines) and lines[n] == want, "header line %d is not %r" % (n + 1, want))

    def match(n, pattern, what):
        need(n < len(lines), "line %d: file ends where %s belongs" % (n + 1, what))
        m = pattern.fullmatch(lines[n])
        need(m, "line %d: %r is not %s" % (n + 1, lines[n], what))
        return m.groups()

    def fields(n, values, table):
        out = {}
        for value, (name, lo, hi) in zip(values, table):
            need(lo <= value <= hi, "line %d: %s is %d, outside %d..%d" % (n + 1, name, value, lo, hi))
            out[name] = value
        return out

    blank = re.compile("")
    blocks = []
    pos = len(TEXT_HEADER)
    while pos < len(lines):
        match(pos, blank, "the empty line that opens a block")
        number, name, slot = match(pos + 1, VOICE_LINE, "a voice line '@:N NAME-@SLOT'")
        number, slot = int(number), int(slot)
        need(number <= 255, "line %d: voice number %d above 255" % (pos + 2, number))
        need(slot == number & 127, "line %d: slot %d, but voice %d goes to slot %d"
             % (pos + 2, slot, number, number & 127))
        if blocks:
            # One run has one input name.
            need(name == blocks[0]["name"],
                 "line %d: input name %r, the first block has %r" % (pos + 2, name, blocks[0]["name"]))
        match(pos + 2, blank, "the empty line before the LFO line")
        wf, nfrq = map(int, match(pos + 3, LFO_LINE, "an LFO line 'LFO: 128 64 64 WF NFRQ'"))
        need(wf <= 3, "line %d: WF %d above 3" % (pos + 4, wf))
        need(nfrq <= 127, "line %d: NFRQ %d above 127" % (pos + 4, nfrq))
        if blocks:
            need((wf, nfrq) == (blocks[0]["WF"], blocks[0]["NFRQ"]),
                 "line %d: WF %d NFRQ %d, the first block has %d %d"
                 % (pos + 4, wf, nfrq, blocks[0]["WF"], blocks[0]["NFRQ"]))
        block = {"number": number, "name": name, "slot": slot, "WF": wf, "NFRQ": nfrq,
                 "ch": None, "ops": None}
        blocks.append(block)
        # Only the last block may stop early: after its LFO line or after its CH line.
        pos += 4
        if pos == len(lines):
            break
        ch = fields(pos, map(int, match(pos, CH_LINE, "a CH line (only the last block may stop early)")), CH_FIELDS)
        need(ch["SLOT"] % 8 == 0, "line %d: SLOT %d is not a multiple of 8" % (pos + 1, ch["SLOT"]))
        block["ch"] = ch
        pos += 1
        if pos == len(lines):
            break
        ops = []
        for op in OPERATORS:
            values = fields(pos, map(int, match(pos, OP_LINES[op], "the %s operator line" % op)), TEXT_OP_FIELDS)
            need(values["AMS-EN"] in (0, 128), "line %d: AMS-EN %d is neither 0 nor 128" % (pos + 1, values["AMS-EN"]))
            ops.append(values)
            pos += 1
        block["ops"] = ops
    return blocks


# ---------------------------------------------------------------------------
# Both programs on one input: the same voices in both files.

def check_pair(programs, blocks):
    """Returns (slots compared, slots checked as reset)."""
    # A slot holds the last record that named it. When that record was cut, the bank
    # keeps whatever of it had been read, so only its CH line, if it has one, is known.
    last = {block["slot"]: block for block in blocks}
    named = set(last)
    for slot, block in sorted(last.items()):
        prog = programs[slot]
        where = "slot %d (voice %d): " % (slot, block["number"])
        if block["ch"] is None:
            continue
        for name in ("CON", "FL", "AMS", "PMS", "SLOT", "NE"):
            need(prog[name] == block["ch"][name],
                 where + "%s is %d in the bank, %d in the text" % (name, prog[name], block["ch"][name]))
        if block["ops"] is None:
            continue
        for op, bank_op, text_op in zip(OPERATORS, prog["ops"], block["ops"]):
            for name, _, _ in TEXT_OP_FIELDS:
                want = text_op[name] // 128 if name == "AMS-EN" else text_op[name]
                need(bank_op[name] == want,
                     where + "%s %s is %d in the bank, %d in the text" % (op, name, bank_op[name], text_op[name]))
    reset = 0
    for slot, prog in enumerate(programs):
        if slot in named:
            continue
        where = "slot %d, named by no text block: " % slot
        need(prog["reset"], where + "the bank names it %r" % prog["name"])
        for name in ("CON", "FL", "SLOT"):
            need(prog[name] == RESET_VOICE[name], where + "%s is %d, not %d" % (name, prog[name], RESET_VOICE[name]))
        for op, values in zip(OPERATORS, prog["ops"]):
            need(values == RESET_OP, where + "operator %s is not reset" % op)
        reset += 1
    return sum(b["ch"] is not None for b in last.values()), reset


# ---------------------------------------------------------------------------
# Self-test: broken copies of good files must be rejected.

def bank_breakages(data, programs):
    """(what, broken bytes) pairs, each a bank that read_bank must reject."""
    def put(at, value):
        out = bytearray(data)
        out[at:at + len(value)] = value
        return bytes(out)

    def u32(v):
        return v.to_bytes(4, "big")

    yield "magic", put(0, b"CcnX")
    yield "byte-size field", put(4, u32(BANK_SIZE - 8))
    yield "regular bank kind", put(8, b"FxBk")
    yield "format version", put(12, u32(2))
    yield "plug-in id", put(16, b"QVTx")
    yield "plug-in version", put(20, u32(2))
    yield "program count", put(24, u32(PROGRAMS - 1))
    yield "reserved byte", put(100, b"\x01")
    yield "chunk size", put(156, u32(CHUNK - 1))
    yield "one byte short", data[:-1]
    yield "one byte more", data + b"\x00"
    yield "chunk size matching a short file", put(156, u32(CHUNK - BLOCK))[:-BLOCK]
    yield "header only", data[:BANK_HEADER]

    named = [s for s, p in enumerate(programs) if not p["reset"]]
    need(named, "the self-test needs a bank with a named slot")
    for slot in (0, named[-1]):
        at = BANK_HEADER + slot * BLOCK
        for k, (name, lo, hi) in enumerate(VOICE_FIELDS):
            if hi < 255:
                yield "slot %d %s above range" % (slot, name), put(at + k, bytes([hi + 1]))
            if lo > 0:
                yield "slot %d %s below its value" % (slot, name), put(at + k, bytes([lo - 1]))
        off8 = programs[slot]["SLOT"] + (4 if programs[slot]["SLOT"] < 8 else -4)
        yield "slot %d SLOT not a multiple of 8" % slot, put(at + 10, bytes([off8]))
        for n, op in enumerate(OPERATORS):
            for k, (name, lo, hi) in enumerate(BANK_OP_FIELDS):
                if hi < 255:
                    yield ("slot %d %s %s above range" % (slot, op, name),
                           put(at + OP_BASE + n * len(BANK_OP_FIELDS) + k, bytes([hi + 1])))
        yield "slot %d last byte" % slot, put(at + BLOCK - 1, b"\x20")
        yield "slot %d control byte in the name" % slot, put(at + PARAMS + 1, b"\x07")
        yield "slot %d DEL in the name" % slot, put(at + PARAMS, b"\x7f")
        end = data[at + PARAMS:at + PARAMS + NAME].find(0)
        if 0 <= end < NAME - 1:
            yield "slot %d control byte behind the name" % slot, put(at + PARAMS + end + 1, b"\x1b")

    # Slot 0 as an unnamed slot: its first name must stay whole and its block reset.
    at = BANK_HEADER
    if programs[0]["reset"]:
        yield "slot 0 with another slot's first name", put(at + PARAMS, b"init-1\x00")
        yield "slot 0 unnamed with a leftover behind its name", put(at + PARAMS + 7, b"x")
        yield "slot 0 unnamed with a voice's CON", put(at, b"\x03")
        yield "slot 0 unnamed with a voice's SLOT", put(at + 10, b"\x78")
        yield "slot 0 unnamed with a voice's TL", put(at + OP_BASE, b"\x10")
        yield "slot 0 unnamed with a voice's C2 MUL", put(at + OP_BASE + 3 * len(BANK_OP_FIELDS) + 7, b"\x02")
        yield "slot 0 named for voice 1", put(at + PARAMS, b"x-@1\x00")
    slot = named[-1]
    at = BANK_HEADER + slot * BLOCK
    yield "slot %d named for voice %d" % (slot, slot + 1), put(at + PARAMS, ("n-@%d\x00" % (slot + 1)).encode())
    yield "slot %d named for voice 256" % slot, put(at + PARAMS, ("n-@%d\x00" % (256 + slot)).encode())


def text_breakages(text, blocks):
    """(what, broken text) pairs, each a text that read_text must reject."""
    lines = text.split("\n")
    complete = [n for n, b in enumerate(blocks) if b["ops"] is not None]
    need(complete, "the self-test needs a text with a complete block")
    first = len(TEXT_HEADER) + 9 * complete[0]     # the first complete block's empty line
    voice, lfo, ch, m1 = first + 1, first + 3, first + 4, first + 5

    def edit(n, line):
        out = list(lines)
        out[n] = line
        return "\n".join(out)

    def drop(start, count=1):
        return "\n".join(lines[:start] + lines[start + count:])

    def set_field(n, k, value):
        # Field k of a CH or operator line sits at 4k..4k+2 behind the colon.
        head, body = lines[n].split(":", 1)
        raw = "%3d" % value if isinstance(value, int) else value
        return edit(n, head + ":" + body[:4 * k] + raw + body[4 * k + 3:])

    for n, want in enumerate(TEXT_HEADER):
        yield "header line %d changed" % (n + 1), edit(n, want.replace(" ", "  ", 1) if " " in want else want + "x")
    yield "tab in the header turned to a space", edit(3, TEXT_HEADER[3].replace("\t", " "))
    yield "header line missing", drop(2)
    yield "no newline at the end", text[:-1]
    yield "empty line at the end", text + "\n"
    yield "CRLF line ends", text.replace("\n", "\r\n")
    yield "empty line before a block missing", drop(first)
    yield "empty line before the LFO line missing", drop(first + 2)
    yield "block cut after its voice line", "\n".join(lines[:voice + 1]) + "\n"

    num, slot = blocks[complete[0]]["number"], blocks[complete[0]]["slot"]
    name = blocks[complete[0]]["name"]
    yield "slot not the voice number's low bits", edit(voice, "@:%d %s-@%d" % (num, name, (slot + 1) & 127))
    yield "voice number above 255", edit(voice, "@:%d %s-@%d" % (num + 256, name, slot))
    yield "leading zero in the voice number", edit(voice, "@:0%d %s-@%d" % (num, name, slot))
    yield "no space after the voice number", edit(voice, "@:%d%s-@%d" % (num, name, slot))
    yield "no -@ before the slot", edit(voice, "@:%d %s@%d" % (num, name, slot))
    if len(blocks) > 1:
        yield "another input name in one block", edit(voice, "@:%d %sx-@%d" % (num, name, slot))

    wf, nfrq = blocks[0]["WF"], blocks[0]["NFRQ"]
    yield "WF above 3", edit(lfo, "LFO: 128 64 64 4 %d" % nfrq)
    yield "NFRQ above 127", edit(lfo, "LFO: 128 64 64 %d 128" % wf)
    yield "LFRQ in the LFO line", edit(lfo, "LFO: 127 64 64 %d %d" % (wf, nfrq))
    yield "AMD in the LFO line", edit(lfo, "LFO: 128 63 64 %d %d" % (wf, nfrq))
    yield "padded WF", edit(lfo, "LFO: 128 64 64  %d %d" % (wf, nfrq))
    if len(blocks) > 1:
        yield "WF differing between blocks", edit(lfo, "LFO: 128 64 64 %d %d" % ((wf + 1) % 4, nfrq))
        yield "NFRQ differing between blocks", edit(lfo, "LFO: 128 64 64 %d %d" % (wf, (nfrq + 1) % 128))

    for k, (fname, lo, hi) in enumerate(CH_FIELDS):
        if hi < 255:
            yield "CH %s above range" % fname, set_field(ch, k, hi + 1)
        if lo > 0:
            yield "CH %s below its value" % fname, set_field(ch, k, lo - 1)
    yield "CH SLOT not a multiple of 8", set_field(ch, 5, 4)
    fl = blocks[complete[0]]["ch"]["FL"]
    yield "CH field four wide", set_field(ch, 1, "%4d" % fl)
    yield "CH field with a leading zero", set_field(ch, 1, " 0%d" % fl)
    yield "CH field left-aligned", set_field(ch, 1, "%-3d" % fl)
    yield "tab in the CH line", edit(ch, lines[ch].replace(" ", "\t", 1))
    yield "space after CH:", edit(ch, lines[ch].replace("CH:", "CH: ", 1))
    for k, (fname, lo, hi) in enumerate(TEXT_OP_FIELDS):
        if hi < 255:
            yield "M1 %s above range" % fname, set_field(m1, k, hi + 1)
    yield "AMS-EN 1", set_field(m1 + 3, 10, 1)
    yield "negative TL", set_field(m1 + 1, 5, " -1")
    yield "operator field two wide", edit(m1 + 2, lines[m1 + 2][:3] + lines[m1 + 2][4:])
    yield "operator line with a trailing space", edit(m1, lines[m1] + " ")
    yield "operators out of order", edit(m1, "C1" + lines[m1][2:])
    yield "operator name in lower case", edit(m1 + 3, "c2" + lines[m1 + 3][2:])
    yield "one operator line missing", drop(m1 + 2)
    yield "CH line missing", drop(ch)
    if len(blocks) > 1 and complete[0] < len(blocks) - 1:
        yield "an earlier block stopping after its CH line", drop(m1, 4)
        yield "an earlier block stopping after its LFO line", drop(ch, 5)
    # The end of the file: a cut inside the operator lines is never legitimate.
    last = len(TEXT_HEADER) + 9 * complete[-1]
    for keep in (1, 2, 3):
        yield "last block cut after %d operator lines" % keep, "\n".join(lines[:last + 5 + keep]) + "\n"


def accepted_cuts(text, blocks):
    """Texts that read_text must accept: the last complete block stopping after its
    CH line or its LFO line, and the header alone."""
    lines = text.split("\n")
    complete = [n for n, b in enumerate(blocks) if b["ops"] is not None]
    last = len(TEXT_HEADER) + 9 * complete[-1]
    yield "last block stopping after its CH line", "\n".join(lines[:last + 5]) + "\n"
    yield "last block stopping after its LFO line", "\n".join(lines[:last + 4]) + "\n"
    yield "header alone", "\n".join(TEXT_HEADER) + "\n"


def pair_breakages(data, text, programs, blocks):
    """(what, bank, text) triples: each bank and text still good on its own, but
    the two no longer hold the same voices."""
    def put(at, value):
        out = bytearray(data)
        out[at:at + len(value)] = value
        return bytes(out)

    last = {b["slot"]: b for b in blocks if b["ops"] is not None}
    need(last, "the self-test needs a pair with a complete block")
    slot = max(last)
    at = BANK_HEADER + slot * BLOCK
    prog = programs[slot]
    for k, name in ((0, "CON"), (1, "FL"), (2, "AMS"), (3, "PMS"), (5, "NE"), (10, "SLOT")):
        lo, hi = VOICE_FIELDS[k][1:]
        value = (prog[name] + 8) % 128 if name == "SLOT" else lo + (prog[name] - lo + 1) % (hi - lo + 1)
        yield name, put(at + k, bytes([value])), text
    for n, op in enumerate(OPERATORS):
        base = at + OP_BASE + n * len(BANK_OP_FIELDS)
        for k, (name, lo, hi) in enumerate(BANK_OP_FIELDS):
            value = lo + (prog["ops"][n][name] - lo + 1) % (hi - lo + 1)
            yield "%s %s" % (op, name), put(base + k, bytes([value])), text

    free = [s for s in range(PROGRAMS) if s not in {b["slot"] for b in blocks}]
    if free:
        at = BANK_HEADER + free[0] * BLOCK
        yield "a slot the text does not name, named in the bank", \
            put(at + PARAMS, b"x-@%d\x00" % free[0]), text

    # The last complete block of a slot is the one the bank must hold: repeat the
    # final block with another TL, and the bank no longer matches it.
    lines = text.split("\n")
    final = len(TEXT_HEADER) + 9 * (len(blocks) - 1)
    if blocks[-1]["ops"] is not None:
        again = lines[final:final + 9]
        head, body = again[5].split(":", 1)
        again[5] = head + ":" + body[:20] + "%3d" % ((blocks[-1]["ops"][0]["TL"] + 1) % 256) + body[23:]
        yield "a later block for the same slot", data, "\n".join(lines[:-1] + again) + "\n"
        # A cut record still sets what its CH line shows.
        cut = lines[final:final + 5]
        head, body = cut[4].split(":", 1)
        cut[4] = head + ":" + body[:8] + "%3d" % ((blocks[-1]["ch"]["CON"] + 1) % 8) + body[11:]
        yield "a later cut block for the same slot", data, "\n".join(lines[:-1] + cut) + "\n"


def self_test(bank_path, text_path):
    data = bank_path.read_bytes()
    text = text_path.read_bytes().decode("latin-1")
    programs, blocks = read_bank(data), read_text(text)
    check_pair(programs, blocks)
    counts = []
    for kind, cases, reader in (("banks", bank_breakages(data, programs), read_bank),
                                ("texts", text_breakages(text, blocks), read_text)):
        n = 0
        for what, broken in cases:
            try:
                reader(broken)
            except Fault:
                n += 1
                continue
            raise Fault("self-test: a broken %s was accepted: %s" % (kind[:-1], what))
        counts.append("%d broken %s" % (n, kind))
    n = 0
    for what, bank, voices in pair_breakages(data, text, programs, blocks):
        # Each file alone must still be read without a fault.
        bank, voices = read_bank(bank), read_text(voices)
        try:
            check_pair(bank, voices)
        except Fault:
            n += 1
            continue
        raise Fault("self-test: a bank that differs from the text in %s was accepted" % what)
    counts.append("%d broken pairs" % n)
    n = 0
    for what, cut in accepted_cuts(text, blocks):
        try:
            read_text(cut)
        except Fault as e:
            raise Fault("self-test: a legitimately cut text was rejected (%s): %s" % (what, e))
        n += 1
    return "rejected %s; accepted %d cut texts" % (", ".join(counts), n)


# ---------------------------------------------------------------------------

def describe_bank(programs):
    named = [str(s) for s, p in enumerate(programs) if not p["reset"]]
    return "bank of %d programs, %d named slots%s" % (
        len(programs), len(named), (" (" + " ".join(named) + ")") if named else "")


def describe_text(blocks):
    complete = sum(b["ops"] is not None for b in blocks)
    out = "%d voice blocks, %d complete" % (len(blocks), complete)
    if blocks:
        out += ", slots %s, WF %d NFRQ %d" % (" ".join(str(b["slot"]) for b in blocks),
                                             blocks[0]["WF"], blocks[0]["NFRQ"])
    return out


def read_file(path):
    if path.suffix == ".fxb":
        return describe_bank(read_bank(path.read_bytes()))
    if path.suffix == ".opm":
        return describe_text(read_text(path.read_bytes().decode("latin-1")))
    raise Fault("neither .fxb nor .opm")


def main(argv):
    jobs = []
    args = list(argv)
    while args:
        arg = args.pop(0)
        if arg in ("--pair", "--self-test"):
            if len(args) < 2:
                print("usage: %s needs BANK.fxb TEXT.opm" % arg)
                return 2
            bank, text = pathlib.Path(args.pop(0)), pathlib.Path(args.pop(0))
            if bank.suffix != ".fxb" or text.suffix != ".opm":
                print("usage: %s takes BANK.fxb then TEXT.opm, got %s %s" % (arg, bank, text))
                return 2
            jobs.append((arg, bank, text))
        elif arg.startswith("-"):
            print("usage: unknown option %s" % arg)
            return 2
        else:
            path = pathlib.Path(arg)
            if path.is_dir():
                found = sorted(p for p in path.iterdir() if p.suffix in (".fxb", ".opm"))
                if not found:
                    print("FAIL %s: no .fxb or .opm file in this folder" % path)
                    return 1
                jobs += [("file", p, None) for p in found]
            else:
                jobs.append(("file", path, None))
    if not jobs:
        print(__doc__.strip())
        return 2

    for kind, a, b in jobs:
        label = str(a) if kind == "file" else "%s %s %s" % (kind, a, b)
        try:
            if kind == "file":
                summary = read_file(a)
            elif kind == "--pair":
                agree, reset = check_pair(read_bank(a.read_bytes()),
                                          read_text(b.read_bytes().decode("latin-1")))
                summary = "%d slots agree, %d slots named by no block are reset" % (agree, reset)
            else:
                summary = self_test(a, b)
        except (Fault, OSError) as e:
            print("FAIL %s: %s" % (label, e))
            return 1
        print("ok %s: %s" % (label, summary))
    print("%d checks, all passed" % len(jobs))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

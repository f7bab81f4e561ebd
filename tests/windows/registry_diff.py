#!/usr/bin/env python3
"""Compares registry exports (reg export, UTF-16) taken around an install.

  registry_diff.py match BEFORE REGSVR32 INSTALLED
      What the installer added for the component (the keys naming its
      identifiers) must be exactly what regsvr32 of the 64-bit DLL added,
      together with the same entries of the 32-bit DLL: its class in the
      32-bit view and its win32 type library entry. Paths of the DLLs and of
      their folders are compared as such, not by value.
  registry_diff.py same BEFORE AFTER
      The registry after an uninstall is the one before it, but for the
      empty keys of the installer service's own bookkeeping (Windows always
      has them) and empty leaf keys that were there before (Wine's msi
      removes empty parent keys).
  registry_diff.py same-ours BEFORE AFTER
      The same, for the keys naming the component's identifiers only.
Exit code 0 when the comparison holds; the differences are printed.
"""
import re
import sys

IDS = ("6b3e9a40-2d7c-4f1b-8e25-a1c4d0b7f310", "6b3e9a41-2d7c-4f1b-8e25-a1c4d0b7f310",
       "6b3e9a42-2d7c-4f1b-8e25-a1c4d0b7f310", "6b3e9a43-2d7c-4f1b-8e25-a1c4d0b7f310",
       "kavrel.comms")


def load(path):
    """{key: {name: value}} with keys in lower case."""
    with open(path, "rb") as f:
        raw = f.read()
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode()
    keys = {}
    current = None
    pending = ""
    for line in text.replace("\r", "").split("\n"):
        if pending:
            line, pending = pending + line.strip(), ""
        if line.endswith("\\") and not line.startswith("["):
            pending = line[:-1]
            continue
        if line.startswith("[") and line.endswith("]"):
            current = line[1:-1].lower()
            keys.setdefault(current, {})
        elif current is not None and "=" in line:
            m = re.match(r'^(@|"(?:[^"\\]|\\.)*")=(.*)$', line)
            if m:
                keys[current][m.group(1).lower()] = m.group(2)
    return keys


def added(before, after):
    """The keys and values of after that before lacks, as a set of lines."""
    out = set()
    for key, values in after.items():
        old = before.get(key)
        if old is None:
            out.add((key, None, None))
        for name, value in values.items():
            if old is None or old.get(name) != value:
                out.add((key, name, value))
    return out


def ours(entries):
    return {e for e in entries if any(i in e[0] for i in IDS)}


def normal(entries):
    out = set()
    for key, name, value in entries:
        if value is not None and re.search(r'\\\\[^\\]+\.dll"$', value, re.I):
            value = "<the DLL>"
        elif value is not None and key.endswith("\\helpdir"):
            value = "<its folder>"
        out.add((key, name, value))
    return out


def as_32bit(entries):
    out = set()
    for key, name, value in entries:
        # The 32-bit view of the classes, but for the shared type libraries.
        key = re.sub(r"^(hkey_local_machine\\software\\classes\\)(?!typelib\\|wow6432node\\)",
                     r"\1wow6432node\\", key)
        key = key.replace("\\0\\win64", "\\0\\win32")
        out.add((key, name, value))
    return out


def show(title, entries):
    for key, name, value in sorted(entries, key=lambda e: (e[0], e[1] or "", e[2] or "")):
        print(f"{title}: [{key}]" + ("" if name is None else f" {name}={value}"))


def match(before, regsvr32, installed):
    before = load(before)
    expected = normal(ours(added(before, load(regsvr32))))
    expected |= as_32bit(expected)
    got = normal(ours(added(before, load(installed))))
    show("missing", expected - got)
    show("extra", got - expected)
    print(f"{len(got)} registry entries compared")
    return expected == got and len(got) > 0


def same(before, after, only_ours=False):
    before, after = load(before), load(after)
    if only_ours:
        before = {k: v for k, v in before.items() if any(i in k for i in IDS)}
        after = {k: v for k, v in after.items() if any(i in k for i in IDS)}
    bookkeeping = re.compile(r"\\installer(\\|$)|\\currentversion\\uninstall$")
    ok = True
    for key, name, value in sorted(added(before, after), key=lambda e: (e[0], e[1] or "")):
        if name is None and not after[key] and bookkeeping.search(key):
            continue
        print(f"left behind: [{key}]" + ("" if name is None else f" {name}={value}"))
        ok = False
    for key, name, value in sorted(added(after, before), key=lambda e: (e[0], e[1] or "")):
        empty_leaf = name is None and not before[key] and not any(
            k.startswith(key + "\\") for k in before)
        if empty_leaf:
            continue
        print(f"removed: [{key}]" + ("" if name is None else f" {name}={value}"))
        ok = False
    return ok


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "match":
        sys.exit(0 if match(*sys.argv[2:]) else 1)
    if len(sys.argv) == 4 and sys.argv[1] in ("same", "same-ours"):
        sys.exit(0 if same(*sys.argv[2:], only_ours=sys.argv[1] == "same-ours") else 1)
    sys.exit(__doc__)

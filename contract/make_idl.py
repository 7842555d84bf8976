#!/usr/bin/env python3
"""Writes the contract's IDL (what widl compiles into the Windows proxy/stub
DLL) from the C++ contract, so that the two cannot drift apart:

  LinkServer.h      the interfaces, their methods in slot order, the
                    parameters' types and names, the order of the list
  LinkServerRows.h  each method's slot and the direction of each parameter
  LinkServer.cpp    the interface identifiers and the server's class

  make_idl.py CONTRACT_DIR            print the IDL
  make_idl.py CONTRACT_DIR -o FILE    write it to FILE
  make_idl.py CONTRACT_DIR --check FILE
                                      exit 1 (with a diff) when FILE is not
                                      what the contract gives

Anything the three files disagree on (a row's slot against the declaration
order, a parameter without a direction, an interface without an identifier,
a type the IDL cannot carry) stops it with a message and exit status 2.
"""

import argparse
import difflib
import os
import re
import sys


class ContractError(Exception):
    pass


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


GUID_RE = re.compile(
    r"const\s+(IID|CLSID)\s+(?:IID|CLSID)_(\w+)\s*=\s*\{\s*0x([0-9A-Fa-f]{1,8})\s*,\s*0x([0-9A-Fa-f]{1,4})\s*,"
    r"\s*0x([0-9A-Fa-f]{1,4})\s*,\s*\{((?:\s*0x[0-9A-Fa-f]{1,2}\s*,?){8})\}\s*\}\s*;"
)


def parse_guids(text):
    """{name: 'XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX'} for IIDs, and the CLSIDs."""
    iids, clsids = {}, {}
    for kind, name, d1, d2, d3, tail in GUID_RE.findall(strip_comments(text)):
        b = [int(x, 16) for x in re.findall(r"0x([0-9A-Fa-f]{1,2})", tail)]
        text_form = "%08X-%04X-%04X-%02X%02X-%s" % (
            int(d1, 16), int(d2, 16), int(d3, 16), b[0], b[1], "".join("%02X" % x for x in b[2:]))
        table = iids if kind == "IID" else clsids
        if name in table:
            raise ContractError("%s_%s is defined twice" % (kind, name))
        table[name] = text_form
    return iids, clsids


def parse_interfaces(text):
    """The X-list's order and, per interface, [(method, [(type, name)])] in
    declaration (slot) order."""
    text = strip_comments(text)
    listed = re.search(r"#define\s+MORAVANE_LINK_SERVER_INTERFACES\(X\)((?:[^\n]*\\\n)*[^\n]*)", text)
    if not listed:
        raise ContractError("LinkServer.h: the list MORAVANE_LINK_SERVER_INTERFACES is missing")
    order = re.findall(r"X\((\w+)\)", listed.group(1))
    declared = {}
    for name, body in re.findall(r"struct\s+(\w+)\s*:\s*IUnknown\s*\{(.*?)\n\};", text, flags=re.S):
        methods = []
        for method, params in re.findall(
                r"virtual\s+HRESULT\s+STDMETHODCALLTYPE\s+(\w+)\s*\(([^)]*)\)\s*=\s*0\s*;", body):
            parsed = []
            for param in [p.strip() for p in params.split(",") if p.strip()]:
                m = re.fullmatch(r"([A-Za-z_]\w*)\s*(\**)\s*([A-Za-z_]\w*)", " ".join(param.split()))
                if not m:
                    raise ContractError("%s::%s: cannot read the parameter '%s'" % (name, method, param))
                parsed.append((m.group(1) + m.group(2), m.group(3)))
            methods.append((method, parsed))
        others = re.sub(r"virtual\s+HRESULT\s+STDMETHODCALLTYPE\s+\w+\s*\([^)]*\)\s*=\s*0\s*;", "", body)
        if "virtual" in others:
            raise ContractError("%s: a virtual member that is not an HRESULT method" % name)
        declared[name] = methods
    return order, declared


def parse_rows(text):
    """[(interface, slot, method, [direction])] in the order written."""
    rows = []
    for slot, interface, method, dirs in re.findall(
            r"Row<\s*(\d+)\s*,\s*&(\w+)::(\w+)\s*((?:,\s*\w+\s*)*)>", strip_comments(text)):
        rows.append((interface, int(slot), method, re.findall(r"\w+", dirs)))
    return rows


# The C++ parameter types of the contract and how the IDL writes them. Only
# these cross the link; a new one has to be added here deliberately.
IN_TYPES = {"LONG", "ULONGLONG", "double", "BSTR", "GUID*", "IUnknown*"}
OUT_TYPES = {"LONG*", "ULONGLONG*", "double*", "BSTR*", "GUID*", "IUnknown**"}


def build(contract_dir):
    inc = os.path.join(contract_dir, "include", "contract")
    order, declared = parse_interfaces(read(os.path.join(inc, "LinkServer.h")))
    rows = parse_rows(read(os.path.join(inc, "LinkServerRows.h")))
    iids, clsids = parse_guids(read(os.path.join(contract_dir, "src", "LinkServer.cpp")))

    if len(order) != len(set(order)):
        raise ContractError("LinkServer.h: an interface is listed twice")
    for name in order:
        if name not in declared:
            raise ContractError("LinkServer.h: %s is listed but not declared" % name)
        if name not in iids:
            raise ContractError("LinkServer.cpp: IID_%s is missing" % name)
    for name in declared:
        if name not in order:
            raise ContractError("LinkServer.h: %s is declared but not in the list" % name)
    for name in iids:
        if name not in order:
            raise ContractError("LinkServer.cpp: IID_%s names no interface of the list" % name)
    if len(set(iids.values())) != len(iids):
        raise ContractError("LinkServer.cpp: two interfaces share an identifier")
    if list(clsids) != ["OrraLinkServer"]:
        raise ContractError("LinkServer.cpp: expected exactly one class, CLSID_OrraLinkServer")

    directions = {}
    for interface, slot, method, dirs in rows:
        if interface not in declared:
            raise ContractError("LinkServerRows.h: a row of %s, which is not an interface of the list" % interface)
        methods = declared[interface]
        index = slot - 3
        if not 0 <= index < len(methods) or methods[index][0] != method:
            raise ContractError("LinkServerRows.h: %s::%s has slot %d, but is declared at slot %s" % (
                interface, method, slot,
                next((str(i + 3) for i, (m, _) in enumerate(methods) if m == method), "none")))
        if (interface, slot) in directions:
            raise ContractError("LinkServerRows.h: two rows for slot %d of %s" % (slot, interface))
        if len(dirs) != len(methods[index][1]):
            raise ContractError("LinkServerRows.h: %s::%s has %d directions for %d parameters" % (
                interface, method, len(dirs), len(methods[index][1])))
        directions[(interface, slot)] = dirs

    interfaces = []
    for name in order:
        methods = []
        for index, (method, params) in enumerate(declared[name]):
            dirs = directions.get((name, index + 3))
            if dirs is None:
                raise ContractError("LinkServerRows.h: no row for %s::%s (slot %d)" % (name, method, index + 3))
            typed = []
            for (ctype, pname), direction in zip(params, dirs):
                base = ctype.rstrip("*")
                stars = ctype[len(base):]
                # Interfaces of the contract travel as themselves.
                kind = ("IUnknown" if base in declared else base) + stars
                allowed = {"In": IN_TYPES, "Out": OUT_TYPES}.get(direction)
                if allowed is None:
                    raise ContractError("%s::%s: unknown direction %s" % (name, method, direction))
                if kind not in allowed:
                    raise ContractError("%s::%s: parameter %s of type %s cannot be %s" % (
                        name, method, pname, ctype, direction))
                typed.append((direction.lower(), ctype, pname))
            if not typed or typed[-1][1:] != ("BSTR*", "errorText") or typed[-1][0] != "out":
                raise ContractError("%s::%s: the last parameter must be the out-parameter BSTR* errorText" % (
                    name, method))
            methods.append((method, typed))
        interfaces.append((name, iids[name], methods))
    return interfaces, clsids["OrraLinkServer"]


def render(interfaces, clsid):
    out = []
    w = out.append
    w("/* The link server's contract for the system's COM: the interfaces, their")
    w(" * identifiers and the server's class. Written by contract/make_idl.py from")
    w(" * LinkServer.h, LinkServerRows.h and LinkServer.cpp; do not edit, run")
    w(" *   python3 contract/make_idl.py contract -o contract/LinkServer.idl")
    w(" * instead (a test fails when this file and the C++ contract differ). */")
    w("")
    w('import "unknwn.idl";')
    w("")
    names = [name for name, _, _ in interfaces]
    for name in names:
        w("interface %s;" % name)
    for name, iid, methods in interfaces:
        w("")
        w("[")
        w("    object,")
        w("    uuid(%s)," % iid)
        w("    pointer_default(unique)")
        w("]")
        w("interface %s : IUnknown" % name)
        w("{")
        for method, params in methods:
            args = ", ".join("[%s] %s %s" % (d, t, p) for d, t, p in params)
            w("    HRESULT %s(%s);" % (method, args))
        w("}")
    w("")
    w("[")
    w("    uuid(%s)" % clsid)
    w("]")
    w("coclass OrraLinkServer")
    w("{")
    w("    [default] interface %s;" % names[0])
    w("}")
    return "\n".join(out) + "\n"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("contract_dir")
    group = parser.add_mutually_exclusive_group()
    group.add_argument("-o", dest="output")
    group.add_argument("--check", dest="check")
    args = parser.parse_args(argv)
    try:
        idl = render(*build(args.contract_dir))
    except (ContractError, OSError) as error:
        print("make_idl: %s" % error, file=sys.stderr)
        return 2
    if args.output:
        with open(args.output, "w", encoding="utf-8") as f:
            f.write(idl)
    elif args.check:
        try:
            existing = read(args.check)
        except OSError as error:
            print("make_idl: %s" % error, file=sys.stderr)
            return 2
        if existing != idl:
            sys.stdout.writelines(difflib.unified_diff(
                existing.splitlines(True), idl.splitlines(True), args.check, "from the C++ contract"))
            print("make_idl: %s differs from the C++ contract; regenerate it" % args.check, file=sys.stderr)
            return 1
    else:
        sys.stdout.write(idl)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

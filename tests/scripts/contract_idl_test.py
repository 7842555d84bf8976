#!/usr/bin/env python3
"""The checked-in IDL of the contract (what widl compiles into the Windows
proxy/stub DLL) is what contract/make_idl.py writes from the C++ contract,
and a change to the C++ contract that the IDL does not follow is caught:
each case below changes a copy of the contract once and expects --check
against the checked-in IDL to fail, with a difference (1) or with the
contract's files disagreeing among themselves (2).

  python3 tests/scripts/contract_idl_test.py REPO_ROOT
"""

import os
import shutil
import subprocess
import sys
import tempfile

HEADER = "include/contract/LinkServer.h"
ROWS = "include/contract/LinkServerRows.h"
IDS = "src/LinkServer.cpp"

SWAP_BEFORE = (
    "  virtual HRESULT STDMETHODCALLTYPE HasAudio(LONG* hasAudio, BSTR* errorText) = 0;                                 // 10\n"
    "  virtual HRESULT STDMETHODCALLTYPE HasVideo(LONG* hasVideo, BSTR* errorText) = 0;                                 // 11\n")
SWAP_AFTER = (
    "  virtual HRESULT STDMETHODCALLTYPE HasVideo(LONG* hasVideo, BSTR* errorText) = 0;                                 // 10\n"
    "  virtual HRESULT STDMETHODCALLTYPE HasAudio(LONG* hasAudio, BSTR* errorText) = 0;                                 // 11\n")
ROWS_SWAPPED = ("Row<10, &ISource2::HasAudio, Out, Out>,\n                              Row<11, &ISource2::HasVideo",
                "Row<10, &ISource2::HasVideo, Out, Out>,\n                              Row<11, &ISource2::HasAudio")
FIRST_IDS = ("0x42893D24, 0x65F0, 0x47D4, {0xBF, 0x84, 0x8A, 0x53, 0xB0, 0xB2, 0x31, 0xD0}",
             "0x1A4D4755, 0x95EB, 0x49CF, {0x90, 0x24, 0xD2, 0x7C, 0x3C, 0xA9, 0x09, 0xE5}")

# name, [(file, text to find (exactly once), replacement)], expected exit
CASES = [
    ("an interface identifier", [(IDS, "0x1A4D4755, 0x95EB", "0x1A4D4755, 0x95EC")], 1),
    ("the class identifier", [(IDS, "{0xA6, 0x44, 0x00, 0x0B", "{0xA6, 0x44, 0x00, 0x0C")], 1),
    ("two interfaces sharing an identifier", [(IDS, *FIRST_IDS)], 2),
    ("a parameter's type", [(HEADER, "CacheFinalFrame(LONG cache", "CacheFinalFrame(ULONGLONG cache")], 1),
    ("a type the link cannot carry", [(HEADER, "GetFrameRate(double* rate", "GetFrameRate(float* rate")], 2),
    ("a parameter's name", [(HEADER, "SetBounds(LONG width,", "SetBounds(LONG w,")], 1),
    ("a method's name, its row following", [(HEADER, "PurgeMemory(", "FreeMemory("),
                                            (ROWS, "IServer2::PurgeMemory", "IServer2::FreeMemory")], 1),
    ("a parameter added without its direction", [(HEADER, "SetRowBytes(LONG rowBytes,",
                                                   "SetRowBytes(LONG rowBytes, LONG pad,")], 2),
    ("two methods swapped in the declaration", [(HEADER, SWAP_BEFORE, SWAP_AFTER)], 2),
    ("two methods swapped, their rows following", [(HEADER, SWAP_BEFORE, SWAP_AFTER), (ROWS, *ROWS_SWAPPED)], 1),
    ("a row's slot", [(ROWS, "Row<7, &IServer2::GetCurrentMemoryUsage", "Row<8, &IServer2::GetCurrentMemoryUsage")], 2),
    ("a direction, still a valid one", [(ROWS, "Row<5, &IProject2::GetSource, In, Out, Out>",
                                         "Row<5, &IProject2::GetSource, Out, Out, Out>")], 1),
    ("a direction the type cannot have", [(ROWS, "Row<9, &IServer2::CacheFinalFrame, In, Out>",
                                           "Row<9, &IServer2::CacheFinalFrame, Out, Out>")], 2),
    ("a direction missing", [(ROWS, "Row<4, &IItem2::GetID, Out, Out>", "Row<4, &IItem2::GetID, Out>")], 2),
    ("a row missing", [(ROWS, "Row<10, &IRenderer2::EndAudioRender, Out>", "")], 2),
    ("an interface left out of the list", [(HEADER, "  X(IContainer2)                           \\\n", "")], 2),
    ("an interface's place in the list", [(HEADER, "X(IServer2)                              \\\n  X(IProject2)",
                                           "X(IProject2)                             \\\n  X(IServer2)")], 1),
]


def run_check(contract_dir, idl):
    return subprocess.run([sys.executable, os.path.join(contract_dir, "make_idl.py"), contract_dir, "--check", idl],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def main(repo):
    contract = os.path.join(repo, "contract")
    idl = os.path.join(contract, "LinkServer.idl")
    failures = 0

    result = run_check(contract, idl)
    if result.returncode != 0:
        print("FAIL: the checked-in IDL is not what the contract gives (exit %d):\n%s%s" % (
            result.returncode, result.stdout, result.stderr))
        failures += 1

    for name, edits, expected in CASES:
        with tempfile.TemporaryDirectory() as work:
            copy = os.path.join(work, "contract")
            shutil.copytree(contract, copy, ignore=shutil.ignore_patterns("__pycache__"))
            problem = None
            for relative, find, replace in edits:
                path = os.path.join(copy, relative)
                with open(path, encoding="utf-8") as f:
                    text = f.read()
                if text.count(find) != 1:
                    problem = "the text to change occurs %d times in %s" % (text.count(find), relative)
                    break
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text.replace(find, replace))
            if problem is None:
                result = run_check(copy, idl)
                if result.returncode != expected:
                    problem = "exit %d, expected %d\n%s%s" % (result.returncode, expected, result.stdout, result.stderr)
            if problem:
                print("FAIL: %s: %s" % (name, problem))
                failures += 1
            else:
                print("ok: %s: %s" % (name, (result.stderr.strip().splitlines() or [""])[-1]))

    print("%d of %d cases failed" % (failures, len(CASES) + 1))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))

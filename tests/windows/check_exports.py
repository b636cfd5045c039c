#!/usr/bin/env python3
"""Checks the export table of a Windows DLL against the interface.

Ordinals 1-18: the driver functions, by name, in the order of the export
table. From 19 on: every function cJSON's header declares, sorted by name
(upper-case before lower-case); on 32-bit under its decorated stdcall name
("_cJSON_Parse@4"). Nothing else.
"""
import argparse
import re
import subprocess
import sys
from typing import List, Tuple

DRIVER = [
    "VELA_OpenDevice", "VELA_CloseDevice", "VELA_GetDeviceInf", "VELA_InitCAN",
    "VELA_StartCAN", "VELA_ResetCAN", "VELA_ClearBuffer",
    "VELA_ReadChannelErrInfo", "VELA_ReadChannelStatus", "VELA_Transmit",
    "VELA_Receive", "VELA_TransmitFD", "VELA_ReceiveFD", "GetIProperty",
    "ReleaseIProperty", "VELA_GetReference", "VELA_SetReference",
    "VELA_GetReceiveNum",
]


def is_double(param: str) -> bool:
    return re.match(r"^(const\s+)?double\b", param) is not None \
        and "*" not in param


def cjson_functions(header: str) -> List[Tuple[str, int]]:
    """(name, argument bytes on 32-bit) of every CJSON_PUBLIC function."""
    text = open(header, encoding="utf-8").read()
    found = {}
    pattern = r"CJSON_PUBLIC\([^)]*\)\s*(cJSON_\w+)\s*\(([^)]*)\)\s*;"
    for name, args in re.findall(pattern, text):
        params = [a.strip() for a in args.split(",")]
        if params == ["void"] or params == [""]:
            size = 0
        else:
            size = sum(8 if is_double(p) else 4 for p in params)
        found[name] = size
    return sorted(found.items())


def export_table(objdump: str, dll: str) -> List[Tuple[int, str]]:
    out = subprocess.run([objdump, "-p", dll], check=True,
                         capture_output=True, text=True).stdout
    base = int(re.search(r"Ordinal Base\s+(\d+)", out).group(1))
    table = out.split("[Ordinal/Name Pointer] Table", 1)[1]
    table = table.split("\n\n", 1)[0]
    rows = re.findall(r"\[\s*(\d+)\]\s+(\S+)", table)
    return sorted((int(n) + base, name) for n, name in rows)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--header", required=True,
                        help="cJSON.h of the cJSON linked in")
    parser.add_argument("--x86", action="store_true",
                        help="32-bit: decorated cJSON names")
    parser.add_argument("dll")
    args = parser.parse_args()
    expected = list(DRIVER)
    for name, size in cjson_functions(args.header):
        expected.append(f"_{name}@{size}" if args.x86 else name)
    want = list(enumerate(expected, start=1))
    got = export_table(args.objdump, args.dll)
    if got != want:
        for w, g in zip(want + [None] * len(got), got + [None] * len(want)):
            if w != g and (w or g):
                print(f"{args.dll}: expected {w}, got {g}", file=sys.stderr)
        return 1
    print(f"{args.dll}: {len(got)} exports as expected "
          f"({len(DRIVER)} + {len(got) - len(DRIVER)} cJSON)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

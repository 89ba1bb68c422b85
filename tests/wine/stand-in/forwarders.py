"""Writes the .def file of a stand-in for one of Wine's DLLs: every export of
Wine's own DLL is forwarded, by name or by ordinal, to Wine's DLL copied
under another name, except the stand-in's own functions.

  forwarders.py WINE_DLL FORWARD_TO OUT.def [--replace NAME=SYMBOL]... [--add NAME=SYMBOL]...

--replace takes over an export that Wine's DLL has, keeping its ordinal;
--add gives one that Wine's DLL lacks. If Wine's DLL already has an export
to be added, the stand-in is not needed and the tests that rely on its
absence must be revisited, so this stops with a message that says so."""
import argparse
import sys

import pefile


def own(pairs):
    return dict(pair.split("=", 1) for pair in pairs)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("wine_dll")
    parser.add_argument("forward_to")
    parser.add_argument("out")
    parser.add_argument("--replace", action="append", default=[])
    parser.add_argument("--add", action="append", default=[])
    args = parser.parse_args()
    replace, add = own(args.replace), own(args.add)

    pe = pefile.PE(args.wine_dll, fast_load=True)
    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
    exports = [e for e in pe.DIRECTORY_ENTRY_EXPORT.symbols if e.address or e.forwarder]
    by_name = {e.name.decode(): e for e in exports if e.name}

    present = sorted(set(add) & set(by_name))
    if present:
        sys.exit(f"{args.wine_dll} already exports {', '.join(present)}: this Wine has what "
                 "the stand-in adds, so the stand-in and the tests that assume Wine lacks it "
                 "need revisiting.")
    missing = sorted(set(replace) - set(by_name))
    if missing:
        sys.exit(f"{args.wine_dll} does not export {', '.join(missing)}, which the stand-in "
                 "replaces.")

    lines = ["EXPORTS"]
    for e in exports:
        name = e.name.decode() if e.name else None
        if name in replace:
            lines.append(f"{name}={replace[name]} @{e.ordinal}")
        elif name:
            lines.append(f'{name}="{args.forward_to}.{name}" @{e.ordinal}')
        else:
            # The linker wants a name even for an export that has none.
            lines.append(f'ordinal{e.ordinal}="{args.forward_to}.#{e.ordinal}" @{e.ordinal} NONAME')
    last = max(e.ordinal for e in exports)
    for offset, (name, symbol) in enumerate(sorted(add.items()), start=1):
        lines.append(f"{name}={symbol} @{last + offset}")
    with open(args.out, "w") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()

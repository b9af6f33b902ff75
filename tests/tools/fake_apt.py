#!/usr/bin/python3
"""apt-get, dpkg, dpkg-query and sudo for tools/install-deps' test, as
symbolic links to this file first on PATH. State, in FAKE_APT_STATE:
absent (packages not installed, one a line), update_fails (how many more
`apt-get update` runs fail), install (how an install goes: ok, fail, skew:
only with the failed suite pinned below the others, or no-wine32), calls
(every apt-get run, one a line)."""

import os
import sys

STATE = os.environ["FAKE_APT_STATE"]
BROKEN_INDEX = ("http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz"
                "  File has unexpected size (374820 != 376004). Mirror sync in progress?")
PIN = "Package: *\nPin: release n=bookworm-security\nPin-Priority: 400\n"


def state(name, value=None):
    path = os.path.join(STATE, name)
    if value is None:
        return open(path).read() if os.path.exists(path) else ""
    with open(path, "w") as f:
        f.write(value)


def apt_get(args):
    with open(os.path.join(STATE, "calls"), "a") as f:
        f.write(" ".join(args) + "\n")
    if args[0] == "update":
        fails = int(state("update_fails") or 0)
        if fails:
            state("update_fails", str(fails - 1))
            print("E: Failed to fetch " + BROKEN_INDEX, file=sys.stderr)
            print("E: Some index files failed to download. They have been ignored, or old ones used instead.",
                  file=sys.stderr)
            return 100
        return 0
    options = [a for a in args if a.startswith("Dir::Etc::Preferences=")]
    wanted = [a for a in args[1:] if not a.startswith("-") and a not in options]
    rule = state("install")
    pinned = bool(options) and PIN in open(options[0].split("=", 1)[1]).read()
    if rule == "fail" or (rule == "skew" and not pinned) or (rule == "no-wine32" and "wine32:i386" in wanted):
        print("E: Unable to correct problems, you have held broken packages.", file=sys.stderr)
        return 100
    state("absent", "".join(p + "\n" for p in state("absent").split() if p not in wanted))
    return 0


def dpkg_query(args):
    absent = state("absent").split()
    for p in args[2:]:  # -W -f=FORMAT PACKAGE...
        if p not in absent:
            print(p + " install ok installed")
    return 0


def dpkg(args):
    if args[0] == "--print-architecture":
        print("amd64")
    elif args[0] == "--print-foreign-architectures":
        print(state("foreign"), end="")
    elif args[0] == "--add-architecture":
        state("foreign", args[1] + "\n")
    return 0


def sudo(args):
    os.execvp(args[0], args)


if __name__ == "__main__":
    tool = {"apt-get": apt_get, "dpkg-query": dpkg_query, "dpkg": dpkg, "sudo": sudo}
    sys.exit(tool[os.path.basename(sys.argv[0])](sys.argv[1:]))

#!/usr/bin/python3
"""apt-get, apt-cache, dpkg, dpkg-query, sudo and id for tools/install-deps'
test, as symbolic links to this file first on PATH. State, in FAKE_APT_STATE:

    arch          the machine's architecture (amd64 unless set)
    foreign       its foreign architectures, one a line
    lacking       packages the archive has no version of for the machine's
                  architecture; nor has it any :ARCH package of an
                  architecture dpkg was not given

    absent        packages not installed, one a line, or "*" for all of them
    installed     with absent "*": what an install has put in since
    update_fails  how many more `apt-get update` runs fail to fetch the
                  security suite's i386 index
    failure       how they fail: "error" (a mirror caught mid-sync: E:, exit
                  100) or "warning" (a network error: W:, exit 0 unless
                  --error-on=any, as apt does)
    native        the version of libssl3:amd64 installed, or nothing
    install       "fail": every install fails, whatever it asks for
    uid           what `id -u` says: the user installs deps runs as (0)
    sudo          "asks": sudo asks for a password (sudo -n fails)
    calls         every apt-get run, one a line

`apt-cache policy` gives a candidate for each package the archive has, and
an install of one it has not fails, as apt's does ("Unable to locate").

Installs follow two rules of apt's, over a small archive: libssl3 is
Multi-Arch: same, so its amd64 and i386 halves must have one version; and a
pin below 1000 never downgrades what is installed. libssl-dev (amd64)
needs libssl3 of its own version, wine32:i386 needs libssl3:i386; any other
package installs as it is. The security suite has a newer libssl3 than the
main suite, for both architectures, but after a failed update apt knows it
for amd64 only."""

import os
import re
import sys

STATE = os.environ["FAKE_APT_STATE"]
SECURITY_I386 = "http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz"
FAILURES = {
    "error": ("E", "  File has unexpected size (374820 != 376004). Mirror sync in progress?", 100),
    "warning": ("W", "  Temporary failure resolving 'mirror.invalid'", 0),
}
MAIN, SECURITY = "bookworm", "bookworm-security"
# libssl3's versions by suite, in the order apt compares them.
VERSIONS = {MAIN: "3.0.11-1~deb12u2", SECURITY: "3.0.15-1~deb12u1"}
ORDER = [VERSIONS[MAIN], VERSIONS[SECURITY]]


def state(name, value=None):
    path = os.path.join(STATE, name)
    if value is None:
        return open(path).read() if os.path.exists(path) else ""
    with open(path, "w") as f:
        f.write(value)


def priorities(options):
    """Suite -> pin priority, from the preferences file apt-get was given."""
    pins = {MAIN: 500, SECURITY: 500}
    for option in options:
        with open(option.split("=", 1)[1]) as f:
            for stanza in f.read().split("\n\n"):
                suite = re.search(r"^Pin: release [na]=(\S+)$", stanza, re.M)
                priority = re.search(r"^Pin-Priority: (-?\d+)$", stanza, re.M)
                if re.search(r"^Package: \*$", stanza, re.M) and suite and priority and suite[1] in pins:
                    pins[suite[1]] = int(priority[1])
    return pins


def candidate(suites, pins, installed):
    """apt's candidate among the suites' versions: the highest priority,
    then the highest version; never below the installed one under 1000."""
    best = max(suites, key=lambda s: (pins[s], ORDER.index(VERSIONS[s])))
    version = VERSIONS[best]
    if installed and ORDER.index(version) < ORDER.index(installed) and pins[best] < 1000:
        return installed
    return version


def resolvable(wanted, pins):
    """Whether apt finds versions for wanted that keep libssl3's pair at one version."""
    native = state("native").strip() or None
    i386_suites = [MAIN] if state("skewed") else [MAIN, SECURITY]
    amd64 = native
    if "libssl-dev" in wanted:
        amd64 = candidate([MAIN, SECURITY], pins, native)
    if "wine32:i386" in wanted:
        i386 = amd64 or candidate(i386_suites, pins, None)
        return i386 in [VERSIONS[s] for s in i386_suites]
    return True


def apt_get(args):
    with open(os.path.join(STATE, "calls"), "a") as f:
        f.write(" ".join(args) + "\n")
    if args[0] == "update":
        fails = int(state("update_fails") or 0)
        if not fails:
            state("skewed", "")
            return 0
        state("update_fails", str(fails - 1))
        state("skewed", "yes")
        level, reason, status = FAILURES[state("failure") or "error"]
        print("%s: Failed to fetch %s%s" % (level, SECURITY_I386, reason), file=sys.stderr)
        print("%s: Some index files failed to download. They have been ignored, or old ones used instead."
              % level, file=sys.stderr)
        return 100 if "--error-on=any" in args else status
    options = [a for a in args if a.startswith("Dir::Etc::Preferences=")]
    wanted = [a for a in args[1:] if not a.startswith("-") and a not in options]
    unknown = [p for p in wanted if not in_archive(p)]
    if unknown:
        print("E: Unable to locate package " + unknown[0], file=sys.stderr)
        return 100
    if state("install") == "fail" or not resolvable(wanted, priorities(options)):
        print("E: Unable to correct problems, you have held broken packages.", file=sys.stderr)
        return 100
    if state("absent").strip() == "*":
        state("installed", state("installed") + "".join(p + "\n" for p in wanted))
    else:
        state("absent", "".join(p + "\n" for p in state("absent").split() if p not in wanted))
    return 0


def architectures():
    return [state("arch").strip() or "amd64"] + state("foreign").split()


def in_archive(package):
    name, _, arch = package.partition(":")
    return package not in state("lacking").split() and (not arch or arch in architectures())


def apt_cache(args):
    assert args[0] == "policy", args
    for p in args[1:]:
        print("%s:\n  Installed: (none)\n  Candidate: %s" % (p, "1.0" if in_archive(p) else "(none)"))
    return 0


def dpkg_query(args):
    absent = state("absent").split()
    installed = state("installed").split()
    for p in args[2:]:  # -W -f=FORMAT PACKAGE...
        if (absent == ["*"] and p in installed) or (absent != ["*"] and p not in absent):
            print(p + " install ok installed")
    return 0


def dpkg(args):
    if args[0] == "--print-architecture":
        print(architectures()[0])
    elif args[0] == "--print-foreign-architectures":
        print(state("foreign"), end="")
    elif args[0] == "--add-architecture":
        state("foreign", args[1] + "\n")
    return 0


def sudo(args):
    """Runs args as they are (the test's user is the fake root), unless
    sudo "asks" for a password, which -n refuses, as sudo does."""
    if args[0] == "-n":
        args = args[1:]
        if state("sudo") == "asks":
            print("sudo: a password is required", file=sys.stderr)
            return 1
    os.execvp(args[0], args)


def user_id(args):
    """`id -u` as the user named in uid (root unless set)."""
    if args != ["-u"]:
        os.execv("/usr/bin/id", ["id", *args])
    print(state("uid").strip() or "0")
    return 0


if __name__ == "__main__":
    tool = {"apt-get": apt_get, "apt-cache": apt_cache, "dpkg-query": dpkg_query, "dpkg": dpkg, "sudo": sudo,
            "id": user_id}
    sys.exit(tool[os.path.basename(sys.argv[0])](sys.argv[1:]))

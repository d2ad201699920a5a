#!/usr/bin/env bash
# Builds the Debian package vesk_<version>_<arch>.deb (static agent, the vesk tool, man pages,
# bash completion) with the "package" preset, then checks what it holds: fails, naming the
# fault, on a missing file, a dependency beyond libc and git, an agent that is not static, a
# man page groff warns about, a completion script bash cannot read, or executables that do
# not run. Prints the package's path last.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh cmake ninja-build g++ nlohmann-json3-dev dpkg-dev file groff-base gzip

build=build/package
rm -f "$build"/vesk_*.deb
cmake --preset package >/dev/null
cmake --build --preset package
cpack --preset package >/dev/null
debs=("$build"/vesk_*.deb)
[[ ${#debs[@]} == 1 && -f ${debs[0]} ]] || { echo "package.sh: cpack made no package" >&2; exit 1; }
deb=${debs[0]}

fail() {
    echo "package.sh: $deb: $*" >&2
    exit 1
}
field() { dpkg-deb -f "$deb" "$1"; }

[[ $(field Package) == vesk ]] || fail "package name is '$(field Package)', not vesk"
arch=$(dpkg --print-architecture)
[[ $(field Architecture) == "$arch" ]] || fail "architecture $(field Architecture), not $arch"
[[ $deb == */vesk_$(field Version)_${arch}.deb ]] || fail "file name does not match its fields"
# Depends: libc6 and git only, in any order, with or without versions.
depends=$(field Depends | tr ',' '\n' | sed 's/(.*)//; s/ //g' | grep -v '^$' | sort | tr '\n' ' ')
[[ $depends == "git libc6 " ]] || fail "depends on '$(field Depends)', wanted libc6 and git"
[[ $(field Recommends) == "openssh-client, bash-completion" ]] || fail "recommends '$(field Recommends)'"

contents=$(dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|')
for f in /usr/bin/vesk /usr/bin/vesk-agent /usr/share/man/man1/vesk.1.gz \
         /usr/share/man/man1/vesk-agent.1.gz /usr/share/bash-completion/completions/vesk; do
    grep -qx "$f" <<<"$contents" || fail "$f is missing"
done

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
[[ $(file -b "$root/usr/bin/vesk-agent") == *"statically linked"* ]] || fail "vesk-agent is not static"
for page in vesk vesk-agent; do
    warnings=$(zcat "$root/usr/share/man/man1/$page.1.gz" | LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z 2>&1)
    [[ -z $warnings ]] || fail "man page $page.1: $warnings"
done
bash -n "$root/usr/share/bash-completion/completions/vesk" || fail "completion script does not parse"
# vesk starts the vesk-agent installed beside it.
version=$("$root/usr/bin/vesk-agent" --version) || fail "vesk-agent --version failed"
[[ $version == "vesk-agent $(field Version)" ]] || fail "vesk-agent --version says '$version'"
hello=$("$root/usr/bin/vesk" hello) || fail "vesk hello failed"
[[ $hello == *"vesk-agent $(field Version) "* ]] || fail "vesk hello did not reach the agent: $hello"

dpkg-deb -f "$deb" Package Version Architecture Depends Recommends Installed-Size
echo "$deb"

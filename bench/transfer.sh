#!/usr/bin/env bash
# vesk put/get against scp over a private OpenSSH server on the loopback interface: a 200 MiB
# file (SIZE_MIB to change it); a tree of 2,000 files of 4 KiB (TREE_FILES) with put -r/get -r
# against cp -r through a local agent and against scp -r over ssh; and program output
# (vesk exec head -c 200000000 /dev/zero, EXEC_BYTES) against a bare client reading the same
# reply and against ssh running the program. REPS alternating repetitions, medians of the wall
# time and the client's peak memory. Needs sshd, scp, python3 and GNU time (Debian:
# openssh-server, openssh-client, python3, time); runs as any user, with throw-away keys, on
# port PORT (default 2222). ONLY=tree,exec skips the rows of the 200 MiB file.
#
#   bash bench/transfer.sh [path/to/vesk [path/to/vesk-agent]]
set -euo pipefail
cd "$(dirname "$0")/.."
vesk=$(realpath "${1:-build/release/client/vesk}")
agent=$(realpath "${2:-build/release/vesk-agent}")
size_mib=${SIZE_MIB:-200} reps=${REPS:-7} port=${PORT:-2222}
tree_files=${TREE_FILES:-2000} exec_bytes=${EXEC_BYTES:-200000000} only=${ONLY:-file,tree,exec}

dir=$(mktemp -d /tmp/vesk-transfer.XXXXXX)
cleanup() {
    [ -s "$dir/sshd.pid" ] && kill "$(cat "$dir/sshd.pid")" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$dir/user_key"
cp "$dir/user_key.pub" "$dir/authorized_keys"
cat >"$dir/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port $port
HostKey $dir/host_key
AuthorizedKeysFile $dir/authorized_keys
PidFile $dir/sshd.pid
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
Subsystem sftp /usr/lib/openssh/sftp-server
EOF
# sshd started by root wants its privilege separation directory, which is not ours to make.
[ "$(id -u)" != 0 ] || [ -d /run/sshd ] || { echo "as root, sshd needs /run/sshd" >&2; exit 1; }
"$(command -v sshd || echo /usr/sbin/sshd)" -f "$dir/sshd_config"
for _ in $(seq 50); do [ -s "$dir/sshd.pid" ] && break; sleep 0.1; done

opts=(-o "Port=$port" -o "IdentityFile=$dir/user_key" -o StrictHostKeyChecking=no
      -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR -o BatchMode=yes)
export XDG_RUNTIME_DIR=$dir
v=("$vesk" --ssh 127.0.0.1 --remote-agent "$agent" "${opts[@]}")
mkdir "$dir/remote" "$dir/local"
head -c $((size_mib << 20)) /dev/urandom >"$dir/remote/file"
cp "$dir/remote/file" "$dir/local/file"
"${v[@]}" hello >/dev/null  # opens the shared connection that the timed runs reuse
# scp goes over the same connection, so neither pays a login.
shared=(-o ControlMaster=no -o "ControlPath=$dir/vesk/%C")

# Appends "seconds kilobytes" of one run of the command to the named list.
measure() {
    local list=$1
    shift
    /usr/bin/time -f '%e %M' -o "$dir/t" "$@" >/dev/null
    cat "$dir/t" >>"$dir/$list"
}
# One round of an operation: scp over the shared connection, scp alone, then vesk, each onto a
# fresh target; vesk's copy must equal its source.
round() {
    local op=$1 from=$2 to=$3 remote_from=$4 remote_to=$5
    rm -f "$to"
    measure "scp_$op" scp -q "${opts[@]}" "${shared[@]}" "$remote_from" "$remote_to"
    rm -f "$to"
    measure "scpown_$op" scp -q "${opts[@]}" "$remote_from" "$remote_to"
    rm -f "$to"
    measure "vesk_$op" "${v[@]}" "$op" "$from" "$to"
    cmp -s "$from" "$to" || { echo "$op: the copy differs" >&2; exit 1; }
}
[[ $only == *file* ]] && for _ in $(seq "$reps"); do
    round get "$dir/remote/file" "$dir/local/got" "127.0.0.1:$dir/remote/file" "$dir/local/got"
    round put "$dir/local/file" "$dir/remote/put" "$dir/local/file" "127.0.0.1:$dir/remote/put"
done

[[ $only == *file* ]] && for _ in $(seq "$reps"); do
    measure hello_shared "${v[@]}" hello
    measure hello_alone "${v[@]}" --no-share hello
    measure ssh_true ssh "${opts[@]}" "${shared[@]}" 127.0.0.1 true
done

# Trees: through a local agent against cp -r, over ssh against scp -r (on its own login, as it
# runs by default, and over vesk's shared connection). Each copy must equal its source.
mkdir "$dir/tree"
for i in $(seq "$tree_files"); do head -c 4096 /dev/urandom >"$dir/tree/f$i"; done
local=("$vesk" --agent "$agent")
tree_round() {
    local name=$1 to=$2
    shift 2
    rm -rf "$to"
    measure "$name" "$@"
    diff -r "$dir/tree" "$to" >/dev/null || { echo "$name: the copy differs" >&2; exit 1; }
}
[[ $only == *tree* ]] && for _ in $(seq "$reps"); do
    tree_round cp_tree "$dir/copy" cp -r "$dir/tree" "$dir/copy"
    tree_round lput_tree "$dir/copy" "${local[@]}" put -r "$dir/tree" "$dir/copy"
    tree_round lget_tree "$dir/copy" "${local[@]}" get -r "$dir/tree" "$dir/copy"
    tree_round scpown_put_tree "$dir/copy" scp -q -r "${opts[@]}" "$dir/tree" "127.0.0.1:$dir/copy"
    tree_round scp_put_tree "$dir/copy" scp -q -r "${opts[@]}" "${shared[@]}" "$dir/tree" "127.0.0.1:$dir/copy"
    tree_round vput_tree "$dir/copy" "${v[@]}" put -r "$dir/tree" "$dir/copy"
    tree_round scpown_get_tree "$dir/copy" scp -q -r "${opts[@]}" "127.0.0.1:$dir/tree" "$dir/copy"
    tree_round scp_get_tree "$dir/copy" scp -q -r "${opts[@]}" "${shared[@]}" "127.0.0.1:$dir/tree" "$dir/copy"
    tree_round vget_tree "$dir/copy" "${v[@]}" get -r "$dir/tree" "$dir/copy"
done

# Program output: the same exec reply read by a bare client (request out, frames in, the body
# read a MiB at a time and dropped), by vesk to a pipe, and the program run by ssh.
cat >"$dir/bare.py" <<'EOF'
import json, os, subprocess, sys
agent, count = sys.argv[1], sys.argv[2]
p = subprocess.Popen([agent, "serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
head = json.dumps({"id": 1, "method": "exec", "data": {"cwd": ".", "program": "head",
                   "args": ["-c", count, "/dev/zero"]}}).encode()
p.stdin.write(len(head).to_bytes(4, "big") + head + bytes(4))
def exact(n):
    out = b""
    while len(out) < n:
        out += p.stdout.read(n - len(out))
    return out
exact(int.from_bytes(exact(4), "big"))
left = int.from_bytes(exact(4), "big")
while left:
    left -= len(os.read(p.stdout.fileno(), min(left, 1 << 20)))
p.stdin.close()
p.wait()
EOF
[[ $only == *exec* ]] && for _ in $(seq "$reps"); do
    measure bare_exec python3 "$dir/bare.py" "$agent" "$exec_bytes"
    measure lvesk_exec "${local[@]}" exec head -c "$exec_bytes" /dev/zero
    measure ljson_exec "${local[@]}" --json exec head -c $((exec_bytes / 4)) /dev/zero
    measure ssh_exec ssh "${opts[@]}" "${shared[@]}" 127.0.0.1 head -c "$exec_bytes" /dev/zero
    measure vesk_exec "${v[@]}" exec head -c "$exec_bytes" /dev/zero
done

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
col() { cut -d' ' -f"$2" "$dir/$1" | median; }
ratio() {  # label, ours, theirs
    awk -v l="$1" -v a="$(col "$2" 1)" -v m="$(col "$2" 2)" -v b="$(col "$3" 1)" 'BEGIN {
        printf "  %-40s %6.2f s (%5.1f MiB)  against %6.2f s: ratio %.2f\n", l, a, m / 1024, b, a / b }'
}
if [[ $only == *tree* ]]; then
    echo "$tree_files files of 4 KiB, medians of $reps (seconds, client peak MiB):"
    ratio "put -r, local agent / cp -r" lput_tree cp_tree
    ratio "get -r, local agent / cp -r" lget_tree cp_tree
    ratio "put -r over ssh / scp -r (own login)" vput_tree scpown_put_tree
    ratio "put -r over ssh / scp -r (shared)" vput_tree scp_put_tree
    ratio "get -r over ssh / scp -r (own login)" vget_tree scpown_get_tree
    ratio "get -r over ssh / scp -r (shared)" vget_tree scp_get_tree
fi
if [[ $only == *exec* ]]; then
    echo "exec head -c $exec_bytes /dev/zero to a pipe, medians of $reps:"
    ratio "local agent / bare client" lvesk_exec bare_exec
    ratio "over ssh / ssh HOST head (shared)" vesk_exec ssh_exec
    ratio "--json, a quarter of it / bare client" ljson_exec bare_exec
fi
[[ $only == *file* ]] || exit 0
echo "$size_mib MiB, medians of $reps (seconds, client peak MiB); vesk shares one connection (its"
echo "default); scp over that connection, and scp as it runs by default (a login of its own):"
for op in get put; do
    s=$(cut -d' ' -f1 "$dir/scp_$op" | median) t=$(cut -d' ' -f1 "$dir/vesk_$op" | median)
    sm=$(cut -d' ' -f2 "$dir/scp_$op" | median) tm=$(cut -d' ' -f2 "$dir/vesk_$op" | median)
    awk -v op="$op" -v s="$s" -v t="$t" -v sm="$sm" -v tm="$tm" 'BEGIN {
        printf "%s  vesk %.2f s (%.1f MiB)  scp %.2f s (%.1f MiB)  ratio %.2f", op, t, tm / 1024,
               s, sm / 1024, t / s }'
    o=$(cut -d' ' -f1 "$dir/scpown_$op" | median)
    awk -v t="$t" -v o="$o" 'BEGIN { printf "  scp alone %.2f s  ratio %.2f\n", o, t / o }'
done
h=$(cut -d' ' -f1 "$dir/hello_shared" | median) a=$(cut -d' ' -f1 "$dir/hello_alone" | median)
f=$(cut -d' ' -f1 "$dir/ssh_true" | median)
echo "hello  shared connection $h s  own connection $a s  (ssh HOST true, shared: $f s)"

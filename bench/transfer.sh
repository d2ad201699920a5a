#!/usr/bin/env bash
# vesk put/get against scp over a private OpenSSH server on the loopback interface: a 200 MiB
# file (SIZE_MIB to change it), REPS alternating repetitions, medians of the wall time and the
# client's peak memory. Needs sshd, scp and GNU time (Debian: openssh-server, openssh-client,
# time); runs as any user, with throw-away keys, on port PORT (default 2222).
#
#   bash bench/transfer.sh [path/to/vesk [path/to/vesk-agent]]
set -euo pipefail
cd "$(dirname "$0")/.."
vesk=$(realpath "${1:-build/release/client/vesk}")
agent=$(realpath "${2:-build/release/vesk-agent}")
size_mib=${SIZE_MIB:-200} reps=${REPS:-7} port=${PORT:-2222}

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
for _ in $(seq "$reps"); do
    round get "$dir/remote/file" "$dir/local/got" "127.0.0.1:$dir/remote/file" "$dir/local/got"
    round put "$dir/local/file" "$dir/remote/put" "$dir/local/file" "127.0.0.1:$dir/remote/put"
done

for _ in $(seq "$reps"); do
    measure hello_shared "${v[@]}" hello
    measure hello_alone "${v[@]}" --no-share hello
    measure ssh_true ssh "${opts[@]}" "${shared[@]}" 127.0.0.1 true
done

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
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

// The vesk tool's failure paths end to end: the built tool against the built agent, driven by
// bash so that each case can set up the descriptors, pipes, signals and login banner it needs.
// A fake ssh (tests/e2e/fake_ssh) stands in for a remote host.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/harness.h"

namespace {

struct Case {
    const char* name;
    // bash: $V is the tool with its agent, $S the tool through the fake ssh, $D a fresh
    // directory; $D in the expected texts stands for it too.
    std::string script;
    int code;
    std::string out;
    std::string err;
};

std::string no(int err) {
    return std::strerror(err);
}

const std::string kBanner = "Last login: Sun Dec  6 22:09:01 2026 from 10.0.0.1 on a long line";
const std::string kStray = "vesk: the remote shell printed text before the agent started: '";
const std::string kLogins = "'; make non-interactive logins print nothing\n";
const std::string kRefuse = "); use --no-preserve-root to override\n";
const std::string kNotUtf8 = " is not valid UTF-8; the agent takes UTF-8 names only\n";
const std::string kTooLarge =
    "vesk: standard input: too large to send: the agent takes at most 1073741824 bytes (1 GiB) "
    "per request\n";

const std::vector<Case> kCases = {
    {"fake ssh without a banner", "$S realpath /", 0, "/\n", ""},
    // A login script's greeting arrives where the first frame's length belongs: fail at once
    // (no waiting for gigabytes), with its first line, cut at 60 bytes.
    {"banner before the agent", "FAKE_SSH_BANNER='" + kBanner + "\\nmore\\n' timeout 20 $S hello",
     1, "", kStray + kBanner.substr(0, 60) + "\u2026" + kLogins},
    {"short banner, no line end", "FAKE_SSH_BANNER=Hi timeout 20 $S hello", 1, "",
     kStray + "Hi" + kLogins},
    {"stdout on a full device", "echo data > $D/f; $V cat $D/f > /dev/full", 1, "",
     "vesk: cannot write standard output: " + no(ENOSPC) + "\n"},
    // The reader went away: no message, ended by SIGPIPE as cat is.
    {"stdout reader gone",
     "head -c 20000000 /dev/zero > $D/big; $V cat $D/big | head -c 1 > /dev/null\n"
     "echo ${PIPESTATUS[0]}",
     0, "141\n", ""},
    // Nothing may be written remotely in place of input that could not be read.
    {"stdin a directory", "$V put $D/x < $D; s=$?; ls $D; exit $s", 1, "",
     "vesk: cannot read standard input: " + no(EISDIR) + "\n"},
    {"stdin closed", "timeout 20 $V put $D/x <&-; s=$?; ls $D; exit $s", 1, "",
     "vesk: cannot read standard input: it is closed\n"},
    {"stdin closed, exec", "timeout 20 $V exec cat <&-", 1, "",
     "vesk: cannot read standard input: it is closed\n"},
    {"body over the frame limit",
     "truncate -s 1073741825 $D/huge; $V put $D/x < $D/huge; s=$?; rm $D/huge; ls $D; exit $s", 1,
     "", kTooLarge},
    {"body at the frame limit", "truncate -s 1073741824 $D/max; $V put /dev/null < $D/max", 0, "",
     ""},
    // Ctrl-C reaches the whole foreground group; the program the agent runs must not outlive
    // the tool. (A zombie counts as gone: init here does not reap.)
    {"interrupted exec hangs up its program",
     "set -m; $V exec sh -c 'echo $$ > '$D/pid'; while :; do sleep 1; done' &\n"
     "for i in $(seq 100); do [ -s $D/pid ] && break; sleep 0.1; done\n"
     "kill -INT -$!; { wait $!; } 2>/dev/null; echo tool: $?; p=$(cat $D/pid)\n"
     "for i in $(seq 50); do\n"
     "  case $(cut -d' ' -f3 /proc/$p/stat 2>/dev/null) in ''|Z) echo gone; exit;; esac\n"
     "  sleep 0.1\n"
     "done; kill $p",
     0, "tool: 130\ngone\n", ""},
    // Files over 1 MiB are streamed; get goes through a temporary file renamed into place.
    {"put and get local files",
     "head -c 3000000 /dev/urandom > $D/a; $V put $D/a $D/b && $V get $D/b $D/c && cmp $D/a $D/c"
     " && mkdir $D/d && $V get $D/b $D/d && cmp $D/a $D/d/b && ls -A $D $D/d",
     0, "$D:\na\nb\nc\nd\n\n$D/d:\nb\n", ""},
    {"get of a missing file leaves nothing", "$V get $D/nope $D/out; s=$?; ls -A $D; exit $s", 1,
     "", "vesk: $D/nope: " + vesk::test::os_error(ENOENT) + "\n"},
    {"get onto a device writes in place",
     "echo data > $D/f; $V get $D/f /dev/full; s=$?; test -c /dev/full && exit $s", 1, "",
     "vesk: cannot write /dev/full: " + no(ENOSPC) + "\n"},
    {"rm the home directory", "mkdir $D/h; HOME=$D/h $V rm -r '~'; s=$?; ls $D; exit $s", 1, "h\n",
     "vesk: rm: refusing to remove '~' (the home directory" + kRefuse},
    {"rm the home directory, spelled otherwise",
     "mkdir -p $D/h/s; HOME=$D/h $V rm -r $D/h/s/..; s=$?; ls $D; exit $s", 1, "h\n",
     "vesk: rm: refusing to remove '$D/h/s/..' (the home directory" + kRefuse},
    {"rm the root, spelled otherwise", "$V rm -r /tmp/..", 1, "",
     "vesk: rm: refusing to remove '/tmp/..' (the root directory" + kRefuse},
    {"rm the home directory when told to",
     "mkdir $D/h; HOME=$D/h $V rm -r --no-preserve-root '~'; s=$?; ls $D; exit $s", 0, "", ""},
    {"rm below the home directory", "mkdir -p $D/h/s; HOME=$D/h $V rm -r '~/s'; ls $D/h", 0, "",
     ""},
    {"non-UTF-8 path", "$V ls $'a\\xff'", 1, "", "vesk: ls: the path \"a\\xFF\"" + kNotUtf8},
    {"non-UTF-8 argument", "$V exec -n echo ok $'\\xfe\"'", 1, "",
     "vesk: exec: the argument \"\\xFE\\x22\"" + kNotUtf8},
    {"names that need quoting in ls",
     "mkdir $D/q; touch $D/q/$'a\\nb' $D/q/plain $D/q/$'t\\tx' $D/q/'q\"'; $V ls $D/q", 0,
     "\"a\\nb\"\nplain\n\"q\\\"\"\n\"t\\tx\"\n", ""},
};

TEST(VeskTool, FailuresAreReportedWithTheirCause) {
    const std::string tool = VESK_TOOL_PATH, agent = vesk::test::agent_path();
    ASSERT_EQ(::access(tool.c_str(), X_OK), 0) << "vesk is not built at " << tool;
    const char* path = std::getenv("PATH");
    const std::string fake_path =
        std::string(VESK_SOURCE_DIR) + "/tests/e2e/fake_ssh:" + (path ? path : "/usr/bin:/bin");
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        vesk::test::TempDir dir;
        std::string prelude = "V='" + tool + " --agent " + agent + "'; S='" + tool +
                              " --ssh host --remote-agent " + agent + "'; D=" + dir.path() + "\n";
        vesk::test::ProcessResult r =
            vesk::test::run_process({"/bin/bash", "-c", prelude + c.script}, {},
                                    {{"PATH", fake_path}, {"FAKE_SSH_BANNER", std::nullopt}});
        auto expand = [&](std::string s) {
            for (std::size_t at; (at = s.find("$D")) != std::string::npos;)
                s.replace(at, 2, dir.path());
            return s;
        };
        EXPECT_EQ(r.exit_code(), c.code) << r.err;
        EXPECT_EQ(r.out, expand(c.out));
        EXPECT_EQ(r.err, expand(c.err));
    }
}

}  // namespace

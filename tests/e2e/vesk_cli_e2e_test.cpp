// The vesk tool end to end: the built binary against the agent under test, one table of bash
// command lines (so that a row can set up the descriptors, pipes, signals and login banner it
// needs) with their input, exit status and outputs, run in order in one directory. A fake ssh
// (tests/e2e/fake_ssh) stands in for a remote host.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "client/cli.h"
#include "client/progress.h"
#include "support/harness.h"
#include "support/repo_fixture.h"

namespace {

using namespace vesk::test;

std::string no(int err) {
    return std::strerror(err);
}

// Its 60th byte is inside a character, which the excerpt leaves out whole.
const std::string kBanner =
    "Last login: Sun Dec  6 22:09:01 2026 from 10.0.0.1 in a caf\u00e9 today";
const std::string kStray = "vesk: the remote shell printed text before the agent started: '";
const std::string kLogins = "'; make non-interactive logins print nothing\n";
const std::string kRefuse = "); use --no-preserve-root to override\n";
const std::string kNotUtf8 = " is not valid UTF-8; the agent takes UTF-8 names only\n";
const std::string kClosed = "vesk: cannot read standard input: it is closed\n";
const std::string kRefused = "ssh: connect to host down: Connection refused (";
const std::string kSshDefaults =
    "-o ConnectTimeout=15 -o ServerAliveInterval=15 -o ServerAliveCountMax=3 ";
const std::string kUsageStdin =
    "vesk: put: standard input is not a pipe or a file; to store it anyway, say so: put - PATH\n"
    "Try 'vesk --help' for more.\n";

TEST(VeskCli, Table) {
    TempDir tmp;
    const auto d = [&](std::string_view name) { return tmp / name; };
    const std::string bytes("line\n\0\xff binary", 15), big(8u << 20, 'z'), home = d("h\xc3\xa9");
    ASSERT_EQ(std::system(("cd " + tmp.path() +
                           " && mkdir -p a/b/c && touch a/B a/C && printf "
                           "'a\\nb\\nc\\n' >three && printf 'a\\nb' >two && printf '\\0' >nul")
                              .c_str()),
              0);
    write_file(d("big"), big);
    write_script(d("dead"), "echo 'cannot serve' >&2; exit 3");
    write_script(d("garbage"), "printf '\\0\\0\\0\\005hello\\0\\0\\0\\0'; cat >/dev/null");
    write_script(d("brief"), "exec timeout -s KILL 1 " + std::string(agent_path()) + " \"$@\"");
    write_script(d("cut"), "printf '\\0\\0\\0\\040{\"id\":1'");
    // Its output stops 2 MB in, inside a streamed body. (The shell lets go of the output, or
    // its copy would keep it open; a background job's input would be the null device.)
    write_script(d("cutbody"), "exec 3<&0; " + std::string(agent_path()) +
                                   " \"$@\" <&3 3<&- | head -c 2000000 & exec >&- 3<&-; wait");
    // Just over the 128 KiB of standard error kept, the last line making it so.
    write_script(d("chatty"),
                 "for i in $(seq 1352); do printf 'noise %04d %085d\\n' $i 0; done >&2; "
                 "echo 'cannot serve' >&2; exit 3");
    ASSERT_EQ(::symlink(agent_path(), d("my agent").c_str()), 0);
    std::string arch = run_process({"uname", "-m"}).out,
                git = run_process({"git", "--version"}).out;
    arch.pop_back(), git.pop_back();
    const std::string hello = "agent     vesk-agent 1.0.1 (protocol 1)\nsystem    linux " + arch +
                              "\nhome      " + home + "\ngit       " + git + "\n";
    const std::string hello_json = R"({"arch":")" + arch + R"(","git":)" + json(git).dump() +
                                   R"(,"home":")" + home +
                                   R"(","os":"linux","protocol":1,"version":"1.0.1"})";
    const std::string nl = "\n", enoent = os_error(ENOENT) + "\n";
    struct stat b, c;
    ASSERT_EQ(::stat(d("a/b").c_str(), &b) | ::stat(d("a/b/c").c_str(), &c), 0);
    const std::string size_b = std::to_string(b.st_size), size_c = std::to_string(c.st_size);
    struct Case {
        std::string script, input;
        int code;
        std::string out, err = "";
    };
    // In a/: $A is the agent under test, $V the tool with it, $T the tool alone, $S the tool
    // through the fake ssh; $D is a fresh directory for the row, and stands for it in expected
    // texts.
    // clang-format off
    std::vector<Case> cases = {
        {"$V hello", "", 0, hello},
        {"$V --help", "", 0, vesk::cli::help_text()},
        {"$V hello --json", "", 0, hello_json + "\n"},
        {"$V --version", "", 0, "vesk 1.0.1\n"},
        {"$V put ../f", bytes, 0, ""},
        // One path: the file goes to standard output, so errors stay text even with --json.
        {"$V --json get ../missing", "", 1, "", "vesk: ../missing: " + enoent},
        {"$V cat ../f ../missing ../f", "", 1, bytes + bytes, "vesk: ../missing: " + enoent},
        {"$V cat ../big", "", 0, big},  // at the progress threshold, but stderr is no terminal
        {"$V --json mkdir m/n m2", "", 0, "{\"path\":\"m/n\"}\n{\"path\":\"m2\"}\n"},
        {"$V ls", "", 0, "B\nC\nb\nm\nm2\n"},
        {"$V --json ls m", "", 0, "[\"n\"]\n"},
        {"$V ls b -l; $V ls -la ../f", "", 0, "dir  " + std::string(12 - size_c.size(), ' ') +
         size_c + " c\nfile           15 ../f\n"},
        // An error names the side that failed; "-" is standard output; an existing directory
        // receives a file under its own name.
        {"$V get ../f -; $V put ../f $D/no/x; $V put $D/no/y < ../f; $V put ../f $D && cmp ../f $D/f",
         "", 0, bytes, "vesk: $D/no/x: " + enoent + "vesk: $D/no/y: " + enoent},
        // Trees and several files: links skipped with a note, a failed file named, the rest
        // copied; an existing directory receives a copy under the source's name.
        {"cd $D && mkdir -p s/e s/d r/s/f m && echo 1 > s/f && echo 2 > s/d/g && ln -s f s/l\n"
         "ln -s nowhere s/d/x; $V put -r s r; a=$?; $V get -r s g; b=$?; $V put s/f s/d/g m/ &&\n"
         "$V get m/f m/g g && { $V get m/none m/f g; c=$?; } && echo $a $b $c && find r g m | sort &&"
         " cat g/d/g", "", 0,
         "1 1 1\ng\ng/d\ng/d/g\ng/e\ng/f\ng/g\nm\nm/f\nm/g\nr\nr/s\nr/s/d\nr/s/d/g\nr/s/e\nr/s/f\n2\n",
         "vesk: skipped the symbolic link s/d/x\nvesk: skipped the symbolic link s/l\n"
         "vesk: r/s/f: " + os_error(EISDIR) + "\nvesk: skipped the symbolic link s/l\nvesk: s/d/x: "
         "cannot be copied: " + os_error(ENOENT) + " (a symbolic link to nothing, or a name that is"
         " not UTF-8)\nvesk: m/none: does not exist\n"},
        // A local file that cannot be read (at offset 0 of the tool's own memory, nothing is
        // mapped) fails the copy; the others still go.
        {"$V put /proc/self/mem ../f $D; s=$?; ls $D; exit $s", "", 1, "f\n",
         "vesk: cannot read /proc/self/mem: " + no(EIO) + "\n"},
        // A directory that cannot be made is named, and so is what could not go into it.
        {"cd $D && mkdir s r && echo 1 > s/f && touch r/s && $V put -r s r", "", 1, "",
         "vesk: r/s: " + os_error(EEXIST) + "\nvesk: r/s/f: " + os_error(ENOTDIR) + "\n"},
        // An interrupted get leaves no temporary file (the agent waits on a pipe meanwhile).
        {"mkfifo $D/p; for s in TERM HUP; do $V get $D/p $D/out & sleep 1; kill -$s $!\n"
         "{ wait $!; } 2>/dev/null; echo $?; done; ls -A $D", "", 0, "143\n129\np\n"},
        // Many hosts through an engine of the caller's; each "host" here has a home of its own.
        {"mkdir $D/one $D/two; printf '%s\\n' one two | FAKE_SSH_HOMES=$D xargs -P 2 -I{} $T --ssh {}"
         " --remote-agent $A --json realpath '~' | sort", "", 0, "\"$D/one\"\n\"$D/two\"\n"},
        {"ln -s loop ../loop; $V stat ../f b nope ../loop", "", 1,
         "../f: file, 15 bytes\nb: directory, " + size_b + " bytes\nnope: does not exist\n"
         "../loop: is not accessible (" + os_error(ELOOP) + ")\n"},
        {"$V --json stat ../f", "", 0, R"([{"exists":true,"is_dir":false,"len":15,"path":"../f"}])" + nl},
        {"$V realpath b/../b/./c b", "", 0, real_path(d("a/b/c")) + nl + real_path(d("a/b")) + nl},
        {"$V --json realpath nope b", "", 1, R"({"error":"nope: )" + os_error(ENOENT) + "\"}\n" +
         json(real_path(d("a/b"))).dump() + nl},
        {"$V rm b", "", 1, "", "vesk: b: " + os_error(ENOTEMPTY) + nl},
        {"$T --agent ../none hello; $T --agent ../three hello", "", 1, "", "vesk: cannot start "
         "../none: " + no(ENOENT) + "\nvesk: cannot start ../three: it is not executable (" +
         no(EACCES) + ")\n"},
        {"$V rm nope -f m2 -- B", "", 0, ""},
        // Each file that cannot be counted says why, and fails the run.
        {"$V wc ../three ../two ../nul ../missing b ../big", "", 1,
         "       3 ../three\n       2 ../two\n       - ../nul\n       - ../missing\n       - b\n"
         "       - ../big\n       5 total\n",
         "vesk: ../nul: not counted: it holds binary data (a NUL byte in its first 8000)\n"
         "vesk: ../missing: not counted: it does not exist\nvesk: b: not counted: it is a directory\n"
         "vesk: ../big: not counted: it is over the 1000000-byte limit (8388608 bytes)\n"},
        {"$V --json wc ../two ../nul", "", 1,
         R"j([{"lines":2,"path":"../two"},{"error":"not counted: it holds binary data (a NUL )j"
         R"j(byte in its first 8000)","lines":null,"path":"../nul"}])j" + nl},
        {"$V exec sh -c 'echo out; echo err >&2; exit 7'", "", 7, "out\n", "err\n"},
        {"$V exec cat", "from stdin", 0, "from stdin"},
        // --json output goes out in pieces of 1 MiB; none may split a character.
        {"$V --json exec sh -c \"head -c 1048573 /dev/zero | tr '\\\\0' a; printf '\\\\360\\\\237\\\\230\\\\200'\" | tail -c 12",
         "", 0, "aaaaa\xf0\x9f\x98\x80\"}\n"},
        {"$V exec -n cat", "not sent", 0, ""},
        {"$V exec -- printf '%s|' 'a b' '*'", "", 0, "a b|*|"},
        {"$V exec sh -c 'printf x >&2; kill -9 $$'", "", 1, "",
         "x\nvesk: sh was killed by a signal (the agent does not say which)\n"},
        // A program that cannot start: 127, and what is missing.
        {"$V exec ../nope", "", 127, "", "vesk: exec: cannot start ../nope: " + enoent},
        {"$V exec nope", "", 127, "", "vesk: exec: cannot start nope: no such program on the agent's PATH\n"},
        {"$V git -C nowhere status", "", 127, "",
         "vesk: git: cannot start git in nowhere: the directory does not exist\n"},
        {"$V --json exec -C ../f ls", "", 127, R"({"code":-1,"error":"exec: cannot start ls in )"
         R"(../f: it is not a directory","stderr":")" + os_error(ENOTDIR) + R"(","stdout":""})" + nl},
        {"$V git -C b -e GIT_EDITOR=my-editor var GIT_EDITOR", "", 0, "my-editor\n"},
        {"$V --json call fs.stat '{\"path\":\"../f\"}'", "", 0,
         R"({"id":1,"data":{"exists":true,"is_dir":false,"len":15}})" + nl},
        {"$V call fs.stat '{\"path\":\"../f\"}'", "", 0,
         "{\n  \"exists\": true,\n  \"is_dir\": false,\n  \"len\": 15\n}\n"},
        {"$V call fs.write '{\"path\":\"g\"}'", "body", 0, ""},
        {"$V call -n fs.read '{\"path\":\"g\"}'", "not sent", 0, "body"},
        {"$V call frob", "", 1, "", "vesk: frob: unknown method \"frob\"\n"},
        {"$V rm -r b", "", 0, ""},
        {"$V ls .", "", 0, "C\ng\nm\n"},
        {"$T --ssh devbox --remote-agent '../my agent' hello", "", 0, hello},
        // The first connection to a host is set up under a lock beside the shared sockets.
        {"XDG_RUNTIME_DIR=$D $S hello >/dev/null && ls -A $D/vesk | tr -d 0-9", "", 0, ".lock-\n"},
        // ssh's own failure, as ssh says it, with its status; sharing on unless turned off.
        {"$T --ssh down hello", "", 255, "", kRefused + kSshDefaults + "-o ControlMaster=auto -o ControlPath=" +
         d("run/vesk/%C") + " -o ControlPersist=60 -- down vesk-agent serve)\n"},
        {"$T --ssh=down -p 22 -ix --no-share hello", "", 255, "",
         kRefused + "-p 22 -i x " + kSshDefaults + "-- down vesk-agent serve)\n"},
        // With --json, usage errors and ssh's failures are JSON on standard output too.
        {"$V --json frob; $T --ssh down --no-share hello --json 2>/dev/null", "", 255,
         "{\"error\":\"unknown command \\\"frob\\\"\"}\n{\"error\":\"ssh could not reach down or "
         "lost the connection (ssh exited with status 255; its message is on stderr)\"}\n",
         "vesk: unknown command \"frob\"\nTry 'vesk --help' for more.\n"},
        // A login script's greeting arrives where the first frame's length belongs: fail at once
        // (no waiting for gigabytes), with its first line, cut at 60 bytes or just before.
        {"FAKE_SSH_BANNER=Hi timeout 20 $S hello; FAKE_SSH_BANNER=" + std::string(61, 'x') +
         " timeout 20 $S hello; FAKE_SSH_BANNER='" + kBanner + "\\nmore\\n' "
         "timeout 20 $S hello", "", 1, "", kStray + "Hi" + kLogins + kStray + std::string(60, 'x') + "\u2026" + kLogins + kStray + kBanner.substr(0, 59) +
         "\u2026" + kLogins},
        {"echo data > $D/f; $V cat $D/f > /dev/full", "", 1, "",
         "vesk: cannot write standard output: " + no(ENOSPC) + "\n"},
        // The reader went away: no message, ended by SIGPIPE as cat is.
        {"$V cat ../big | head -c 1 > /dev/null; echo ${PIPESTATUS[0]}", "", 0, "141\n"},
        // Nothing may be written remotely in place of input that could not be read.
        // put with one argument reads only a pipe or a file: a terminal, /dev/null or nothing
        // would empty the remote file.
        {"$V put $D/x < $D; $V put $D/x < /dev/null; $V put $D/x <&-; timeout 20 $V exec cat <&-;"
         " s=$?; ls $D; exit $s", "", 1, "", kUsageStdin + kUsageStdin + kUsageStdin + kClosed},
        {"truncate -s 1073741825 $D/huge; $V put $D/x < $D/huge; s=$?; truncate -s 1073741824 $D/huge\n"
         "$V put /dev/null < $D/huge || s=9; rm $D/huge; ls $D; exit $s", "", 1, "",
         "vesk: standard input: too large to send: the agent takes at most 1073741824 bytes (1 GiB) "
         "per request\n"},
        // Ctrl-C reaches the whole foreground group; the program the agent runs must not outlive
        // the tool. (A zombie counts as gone: init here does not reap.)
        {"set -m; $V exec sh -c 'echo $$ > '$D/pid'; while :; do sleep 1; done' &\n"
         "for i in $(seq 100); do [ -s $D/pid ] && break; sleep 0.1; done\n"
         "kill -INT -$!; { wait $!; } 2>/dev/null; echo tool: $?; p=$(cat $D/pid); for i in $(seq 50)\n"
         "do case $(cut -d' ' -f3 /proc/$p/stat 2>/dev/null) in ''|Z) echo gone; exit;; esac; sleep .1\n"
         "done; kill $p", "", 0, "tool: 130\ngone\n"},
        // Files over 1 MiB are streamed, from a named file or from standard input redirected from
        // one; get goes through a temporary file renamed into place.
        {"head -c 3000000 /dev/urandom > $D/a; $V put $D/a $D/b && $V get $D/b $D/c && cmp $D/a $D/c"
         " && mkdir $D/d && $V get $D/b $D/d && cmp $D/a $D/d/b && $V put $D/e < $D/a && cmp $D/a $D/e"
         " && ls -A $D $D/d", "", 0, "$D:\na\nb\nc\nd\ne\n\n$D/d:\nb\n"},
        // A get that fails leaves nothing; onto a device, it writes in place.
        {"echo data > $D/f; $V get $D/nope $D/out; $V get $D/f /dev/full; s=$?; ls -A $D; exit $s",
         "", 1, "f\n", "vesk: $D/nope: " + enoent + "vesk: cannot write /dev/full: " + no(ENOSPC) + nl},
        {"$V get ../f $D/nodir/f", "", 1, "", "vesk: cannot create a file in $D/nodir/: " + no(ENOENT) + nl},
        {"$A serve <&-", "", 0, ""},  // no input at all is the end of input
        {"timeout 10 $A serve < $D", "", 0, ""},  // so is input that fails to read
        // The home guard, however the home directory is spelled; one directly under / too.
        {"mkdir -p $D/h/s; cd $D; HOME=$D/h $V rm -r '~' '~/' $D/h/s/.. /tmp/.. h/ ./h $D/h/s; s=$?"
         "\nH=$(mktemp -d /vesk-home.XXXXXX); cd /; HOME=$H $V rm -r $H ${H#/} 2>&1 | sed \"s,$H,H,g; s,${H#/},H,g\""
         "\nrmdir $H && ls $D $D/h; exit $s", "", 1, "vesk: rm: refusing to remove 'H' (the home "
         "directory" + kRefuse + "vesk: rm: refusing to remove 'H' (the home directory" + kRefuse +
         "$D:\nh\n\n$D/h:\n", [&] {
             std::string err;
             for (const char* p : {"~", "~/", "$D/h/s/..", "/tmp/..", "h/", "./h"})
                 err += "vesk: rm: refusing to remove '" + std::string(p) + "' (the " +
                        (p[1] == 't' ? "root" : "home") + " directory" + kRefuse;
             return err;
         }()},
        {"mkdir $D/h; HOME=$D/h $V rm -r --no-preserve-root '~'; s=$?; ls $D; exit $s", "", 0, ""},
        {"$V ls $'a\\xff'; $V exec -n echo ok $'\\xfe\"'; $V exec -n $'\\xfd'", "", 1, "",
         "vesk: ls: the path \"a\\xFF\"" + kNotUtf8 + "vesk: exec: the argument \"\\xFE\\x22\"" +
             kNotUtf8 + "vesk: exec: the program \"\\xFD\"" + kNotUtf8},
        {"mkdir $D/q; touch $D/q/$'a\\nb' $D/q/plain $D/q/$'t\\tx' $D/q/'q\"'; $V ls $D/q", "", 0,
         "\"a\\nb\"\nplain\n\"q\\\"\"\n\"t\\tx\"\n"},
    };
    // Failures whose text comes from elsewhere, as regular expressions for standard error.
    const std::tuple<std::string, int, std::string> patterns[] = {
        {"$V git status", 128, "fatal: not a git repository.*\n"},
        {"$T --agent ../dead put x < ../big", 1,
         "vesk: standard input: agent failed: [\\s\\S]*exited with status 3[\\s\\S]*cannot serve[\\s\\S]*"},
        {"$T --agent ../brief watch .", 1, "vesk: watching \\.: not in a git repository[^\n]*\n"
         "vesk: agent failed: [\\s\\S]*"},
        // On a terminal, a bar per transfer, named by the file it is of.
        {"script -qec \"$V cat ../big >/dev/null; $V put $D/up < ../big\" /dev/null >&2", 0,
         "[\\s\\S]*\rbig 100% \\[#{20}\\] 8\\.0 MiB / 8\\.0 MiB [\\s\\S]*\rup 100% [\\s\\S]*"},
        {"$T --agent ../garbage hello", 1, "vesk: .*not a valid envelope.*\n"},
        {"$T --agent ../cut hello", 1, "vesk: .*ended inside a message.*\n"},
        // A body cut short is no file: nothing is renamed into place.
        {"head -c 3000000 /dev/urandom > $D/a; $T --agent ../cutbody get $D/a $D/b; s=$?; ls -A $D >&2;"
         " exit $s", 1, "vesk: .*ended inside a message.*\na\n"},
        {"$T --agent ../chatty hello", 1, "vesk: agent failed: .*status 3; its stderr ends: noise "
         "1351 0{85} \\| noise 1352 0{85} \\| cannot serve\n"},
        {"$T --ssh box --remote-agent no-agent hello", 1, "[\\s\\S]*\nvesk: agent failed: .*status "
         "127; is no-agent on the PATH of box\\? \\(--remote-agent PATH names it\\)\n"},
        {"$T --ssh box --remote-agent /no/agent hello; $T --ssh box --remote-agent ../three hello", 1,
         "[\\s\\S]*\nvesk: agent failed: .*status 127; box has no program /no/agent\n[\\s\\S]*"
         "\nvesk: agent failed: .*status 126; \\.\\./three on box is not executable\n"},
    };
    // clang-format on
    for (const auto& [script, code, pattern] : patterns)
        cases.push_back({script, "", code, "", pattern});
    // Usage errors: status 2, the reason, then a hint.
    // clang-format off
    const std::pair<std::string, std::string> usage_errors[] = {
        {"$T", "missing COMMAND"}, {"$V frob", "unknown command \"frob\""},
        {"$V --frob hello", "unknown option \"--frob\""},
        {"$V --ssh host hello", "--agent and --ssh exclude each other"},
        {"$T --remote-agent=x hello", "--remote-agent needs --ssh"},
        {"$V -o User=x hello", "-o is an ssh option and needs --ssh"},
        {"$T --ssh -oProxyCommand=x hello", "--ssh wants a host name, got \"-oProxyCommand=x\""},
        {"$V hello extra", "hello takes no arguments"}, {"$V cat", "cat: missing PATH"},
        {"$V get", "get: missing PATH"},
        {"$V ls a b", "ls: too many arguments"}, {"$V ls -x", "ls: unknown option \"-x\""},
        {"$V rm -r", "rm: missing PATH"}, {"$V exec -C", "exec: -C needs a directory"},
        {"$V exec -n", "exec: missing PROGRAM"}, {"$V git -e", "git: -e needs NAME=VALUE"},
        {"$V git -e =x", "git: -e wants NAME=VALUE, got \"=x\""}, {"$V call", "call: missing METHOD"},
        {"$V call fs.stat {} x", "call: too many arguments"},
        {"$V call fs.stat '{not json'", "call: JSON-DATA is not valid JSON"},
        {"$T --agent", "--agent needs a value"}, {"$T --ssh h -p", "-p needs a value"},
    };
    // clang-format on
    for (const auto& [script, reason] : usage_errors)
        cases.push_back({script, "", 2, "", "vesk: " + reason + "\nTry 'vesk --help' for more.\n"});
    const std::size_t exact = cases.size() - std::size(patterns) - std::size(usage_errors);

    ASSERT_EQ(::mkdir(d("run").c_str(), 0700), 0);
    const std::string tool = VESK_TOOL_PATH,
                      fake_ssh = std::string(VESK_SOURCE_DIR) + "/tests/e2e/fake_ssh:";
    const Env env = {{"HOME", home},
                     {"PATH", fake_ssh + std::getenv("PATH")},
                     {"XDG_RUNTIME_DIR", d("run")},
                     {"FAKE_SSH_BANNER", std::nullopt}};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.script);
        TempDir row;
        const std::string prelude =
            "A=" + std::string(agent_path()) + "; T=" + tool + "; V=\"$T --agent " + agent_path() +
            "\"; S=\"$T --ssh host --remote-agent " + agent_path() + "\"; D=" + row.path() + "\n";
        ProcessResult r =
            run_process({"/bin/bash", "-c", prelude + c.script}, c.input, env, d("a"));
        auto expand = [&](std::string s) {
            for (std::size_t at; (at = s.find("$D")) != std::string::npos;)
                s.replace(at, 2, row.path());
            return s;
        };
        EXPECT_EQ(r.exit_code(), c.code);
        EXPECT_TRUE(r.out == expand(c.out)) << r.out.substr(0, 300);
        if (i < exact)
            EXPECT_EQ(r.err, expand(c.err));
        else
            EXPECT_TRUE(std::regex_match(r.err, std::regex(c.err))) << r.err;
    }
    // The shared connections' sockets live where only we can reach them.
    struct stat run;
    ASSERT_EQ(::stat(d("run/vesk").c_str(), &run), 0);
    EXPECT_EQ(run.st_mode & 0777, 0700u);
}

// The ssh command line, the agent's default place, and the progress bar's line.
TEST(VeskCli, Pieces) {
    using vesk::client::ssh_start;
    EXPECT_EQ(ssh_start("box", "vesk-agent", {"-p", "2"}).argv,
              (std::vector<std::string>{"ssh", "-p", "2", "--", "box", "vesk-agent serve"}));
    EXPECT_EQ(ssh_start("box", "it's").argv[3], "'it'\\''s' serve");
    EXPECT_EQ(ssh_start("box", "~/my bin/a").argv[3], "~/'my bin/a' serve");
    EXPECT_THROW(ssh_start("-oProxyCommand=x"), std::invalid_argument);
    TempDir dir;
    for (const char* sub : {"client", "other"}) ::mkdir((dir / sub).c_str(), 0755);
    write_file(dir / "vesk-agent", "");
    EXPECT_FALSE(vesk::cli::find_agent_beside(dir / "vesk")) << "not executable";
    ::chmod((dir / "vesk-agent").c_str(), 0755);
    EXPECT_EQ(vesk::cli::find_agent_beside(dir / "vesk"), dir / "vesk-agent");
    EXPECT_EQ(vesk::cli::find_agent_beside(dir / "client/vesk"), dir / "vesk-agent");
    EXPECT_FALSE(vesk::cli::find_agent_beside(dir / "other/vesk"));
    EXPECT_FALSE(vesk::cli::find_agent_beside("vesk"));
    using vesk::cli::ProgressBar;
    const std::string full = " 100% [####################] 3.0 MiB / 3.0 MiB  ";
    EXPECT_EQ(ProgressBar::render("d/big", 4u << 20, 8u << 20, 2.0),
              "big  50% [##########          ] 4.0 MiB / 8.0 MiB  2.0 MiB/s  0:02 left");
    EXPECT_EQ(ProgressBar::render("f", 3u << 20, 3u << 20, 3725.0),
              "f" + full + "844 B/s  in 1:02:05");
    // Names up to 24 bytes are shown whole.
    EXPECT_EQ(ProgressBar::render("d/" + std::string(24, 'n'), 3u << 20, 3u << 20, 3600.0),
              std::string(24, 'n') + full + "874 B/s  in 1:00:00");
    EXPECT_EQ(ProgressBar::render(std::string(25, 'n'), 3u << 20, 3u << 20, 3599.0),
              std::string(21, 'n') + "..." + full + "874 B/s  in 59:59");
    // A message after a bar that is still on its line starts on the next.
    const int fd = ::open((dir / "bar").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ProgressBar bar(fd);
    bar.update(1, 2), bar.break_line(), bar.break_line(), ::close(fd);
    EXPECT_EQ(read_file(dir / "bar"),
              "\r  50% [##########          ] 1 B / 2 B  -  --:-- left\x1b[K\n");
    EXPECT_EQ(vesk::cli::human_bytes(1048063), "1023.5 KiB");
}

// --help is made from the command table; the manual page and the completion must say the same.
TEST(VeskCli, ManualAndCompletionFollowTheTable) {
    const std::string man = read_file(std::string(VESK_SOURCE_DIR) + "/packaging/vesk.1"),
                      completion = read_file(std::string(VESK_SOURCE_DIR) +
                                             "/packaging/vesk.bash-completion");
    // The synopsis lines of the manual's COMMANDS section, as text: .B joins its words with
    // spaces, .BI alternates fonts without them; font changes and escapes go.
    std::set<std::string> synopses;
    std::istringstream lines(man.substr(man.find(".SH COMMANDS"), man.find(".SH JSON")));
    for (std::string line, prev; std::getline(lines, line); prev = line) {
        if (prev != ".TP" || (line.rfind(".B ", 0) != 0 && line.rfind(".BI ", 0) != 0)) continue;
        std::string text;
        bool quoted = false;
        for (char ch : line.substr(line.find(' ') + 1)) {
            if (ch == '"')
                quoted = !quoted;
            else if (ch != ' ' || quoted || line[2] == ' ')
                text += ch;
        }
        text = std::regex_replace(text, std::regex(R"(\\f[BIRP]|\\&)"), "");
        synopses.insert(std::regex_replace(text, std::regex(R"(\\-)"), "-"));
    }
    std::string names;
    for (const vesk::cli::Command& c : vesk::cli::commands()) {
        names += (names.empty() ? "" : " ") + std::string(c.name);
        EXPECT_EQ(synopses.count(c.name + std::string(*c.synopsis ? " " : "") + c.synopsis), 1u)
            << c.name;
        // The options the completion offers after the command, but for the tool's own.
        std::smatch m;
        const std::regex words("\n +(?:[a-z]+ \\| )*" + std::string(c.name) +
                               R"x((?: \| [a-z]+)*\) words="([^"]*)")x");
        std::string offered = std::regex_search(completion, m, words) ? m[1].str() : "$long --";
        EXPECT_EQ(std::regex_replace(offered, std::regex(R"(( ?\$long)? ?--$)"), ""), c.options)
            << c.name;
    }
    EXPECT_NE(completion.find("local commands=\"" + names + "\""), std::string::npos) << names;
}

// The library leaves its caller's signal handling alone: an agent gone before a large request
// is an error to report, not a SIGPIPE that ends a caller which does not ignore it.
TEST(Client, AnAgentGoneUnderALargeRequestIsAnErrorNotASignal) {
    vesk::client::StartOptions o;
    o.argv = {"/bin/sh", "-c", "head -c 1 >/dev/null; exit 3"};
    vesk::client::AgentClient agent(o);
    auto* const ignoring = ::signal(SIGPIPE, SIG_DFL);  // the harness ignores it; this caller not
    EXPECT_THROW(agent.write_file("x", std::string(4u << 20, 'x')), vesk::client::AgentError);
    ::signal(SIGPIPE, ignoring);
}

// A reply's body given to a sink arrives in pieces, in order, and is not kept as well.
TEST(Client, AReplyBodyGoesToASinkAsItArrives) {
    vesk::client::AgentClient agent(agent_path());
    std::string got;
    int pieces = 0;
    vesk::client::ProgramResult r = agent.exec(".", "seq", {"500000"}, {}, [&](std::string_view p) {
        got += p;
        ++pieces;
    });
    EXPECT_EQ(got, run_process({"seq", "500000"}).out);
    EXPECT_EQ(r.stdout_size, got.size());
    EXPECT_TRUE(r.stdout_bytes.empty());
    EXPECT_GT(pieces, 1);
}

TEST(VeskCli, WatchPrintsATimestampedLinePerChangeUntilInterrupted) {
    TempDir tmp;
    const std::string repo = tmp / "repo";
    make_repo(repo);
    Proc vesk({{VESK_TOOL_PATH, "--agent", agent_path(), "watch", repo}, {}, {}});
    for (int i = 0; i < 30 && vesk.out().empty(); ++i) {  // until the watch has started
        write_file(repo + "/u" + std::to_string(i), "");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    ::kill(vesk.pid(), SIGINT);
    EXPECT_EQ(vesk.finish(), 0);
    const std::string out = vesk.out();
    EXPECT_TRUE(std::regex_match(out.substr(0, out.find('\n')),
                                 std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  changed  )" + repo)))
        << out;
    EXPECT_EQ(vesk.err(), "vesk: watching " + repo + " (the repository at " + real_path(repo) +
                              "); Ctrl-C stops\n");
    // SIGTERM ends it as quietly, once it runs (it has said what it watches).
    Proc quiet({{VESK_TOOL_PATH, "--agent", agent_path(), "watch", tmp.path()}, {}, {}});
    for (int i = 0; i < 500 && quiet.err().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(quiet.pid(), SIGTERM);
    EXPECT_EQ(quiet.finish(), 0);
    EXPECT_EQ(quiet.err(), "vesk: watching " + tmp.path() +
                               ": not in a git repository, so quiet until it becomes one; Ctrl-C "
                               "stops\n");
}

}  // namespace

// One agent under a long mixed load: every method, bodies from nothing to several MiB, unknown
// methods and bad parameters, sent from several client threads while watched repositories
// change so that events interleave with the replies. Afterwards the whole output stream is cut
// into frames and checked here, without trusting the client library's own parsing: every
// message well-formed and byte-exact, every request answered exactly once, every event exact.
//
// VESK_STRESS_SCALE multiplies the number of requests (3000, spread over at least 10 s);
// sanitizer builds start from a smaller default.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/agent_client.h"
#include "git/repo_fixture.h"
#include "support/harness.h"
#include "support/proc_state.h"

namespace {

using namespace std::chrono_literals;
using namespace vesk::test;
using json = nlohmann::json;
using ordered_json = nlohmann::ordered_json;
using vesk::client::AgentClient;
using vesk::client::Message;

constexpr int kBaseRequests = 3000;
constexpr int kClientThreads = 4;
constexpr std::size_t kWindow = 12;  // requests in flight per client thread
constexpr auto kReplyWait = 180s;    // generous: a sanitizer build on a loaded machine is slow
// The load is spread over at least this long, so that several watcher polls fall inside it and
// events interleave with replies however fast the agent is.
constexpr auto kLoadSpread = 10s;

double stress_scale() {
    double scale = kThreadSanitizer ? 0.3 : kAddressSanitizer ? 0.5 : 1.0;
    if (const char* s = std::getenv("VESK_STRESS_SCALE")) {
        char* end = nullptr;
        double v = std::strtod(s, &end);
        if (end != s && *end == '\0' && v > 0) scale = v;
    }
    return scale;
}

std::string event_header(const std::string& path) {
    return R"({"id":0,"method":"changed","data":{"path":)" + json(path).dump() + "}}";
}

json command_data(int code, const std::string& stderr_text) {
    return {{"code", code}, {"stderr", stderr_text}};
}

// Checks the envelope rules on one header as it came off the wire: a JSON object whose members
// are a subsequence of id, method, data, error with the right types, no null data, and bytes
// equal to the compact encoding (so no white space and name-ordered objects inside data).
// Returns what is wrong, or nothing.
std::string envelope_form_problem(const std::string& text) {
    ordered_json in_order;
    json h;
    try {
        in_order = ordered_json::parse(text);
        h = json::parse(text);
    } catch (const std::exception& e) {
        return std::string("not JSON: ") + e.what();
    }
    if (!h.is_object()) return "not an object";
    static const char* const kOrder[] = {"id", "method", "data", "error"};
    std::size_t next = 0;
    for (auto it = in_order.begin(); it != in_order.end(); ++it) {
        while (next < 4 && it.key() != kOrder[next]) ++next;
        if (next == 4) return "member \"" + it.key() + "\" unknown or out of order";
        ++next;
    }
    if (!h.contains("id") || !h["id"].is_number_unsigned()) return "id missing or not unsigned";
    if (h.contains("method") && !h["method"].is_string()) return "method is not a text";
    if (h.contains("error") && !h["error"].is_string()) return "error is not a text";
    if (h.contains("data") && h["data"].is_null()) return "data written as null";
    std::string canon = "{\"id\":" + std::to_string(h["id"].get<std::uint64_t>());
    if (h.contains("method")) canon += ",\"method\":" + h["method"].dump();
    if (h.contains("data")) canon += ",\"data\":" + h["data"].dump();
    if (h.contains("error")) canon += ",\"error\":" + h["error"].dump();
    canon += "}";
    if (canon != text) return "not in compact canonical form";
    return {};
}

// ---------------------------------------------------------------------------------------------
// What the load works on

struct Blob {
    std::string path;  // a file holding exactly these bytes
    std::string bytes;
};

struct CountFile {
    std::string path;
    json count;  // the line count, or null
};

struct Fixture {
    TempDir tmp;
    std::string home;
    std::vector<std::string> repos;      // watched for the whole run
    std::vector<std::string> scratch;    // watched and unwatched during the run
    std::vector<Blob> blobs;             // bodies and files, from empty to several MiB
    std::string listing_dir;             // fs.readdir target
    json listing;                        // its names in byte order
    std::vector<CountFile> count_files;  // fs.countlines targets
    std::string stripspace_in, stripspace_out;

    Fixture() {
        home = tmp / "home";
        ::mkdir(home.c_str(), 0755);
        for (int i = 0; i < 3; ++i) {
            repos.push_back(tmp / ("repo" + std::to_string(i)));
            make_repo(repos.back());
        }
        // A second text for a mutated repository (its own watcher and events), a plain
        // directory and a missing one (both quiet).
        scratch = {repos[0] + "/", tmp / "plain", tmp / "missing"};
        ::mkdir((tmp / "plain").c_str(), 0755);
        for (const char* d : {"w", "m", "r"}) ::mkdir((tmp / d).c_str(), 0755);

        std::mt19937_64 rng(7);
        const std::size_t sizes[] = {0, 1, 17, 4096, 65537, 300001, (1u << 20) + 3, 6u << 20};
        ::mkdir((tmp / "blobs").c_str(), 0755);
        for (std::size_t n : sizes) {
            Blob b;
            b.bytes.resize(n);
            // Every byte value, NULs and invalid UTF-8 included.
            for (auto& ch : b.bytes) ch = static_cast<char>(rng());
            b.path = tmp / ("blobs/" + std::to_string(n));
            write_file(b.path, b.bytes);
            blobs.push_back(std::move(b));
        }

        listing_dir = tmp / "listing";
        ::mkdir(listing_dir.c_str(), 0755);
        for (const char* name : {"b", "B", "a", "C", "a.txt", "_"}) {
            write_file(listing_dir + "/" + name, name);
        }
        listing = json::array({"B", "C", "_", "a", "a.txt", "b"});

        // Line counts worked out by hand from the contents.
        const std::pair<const char*, int> texts[] = {{"", 0},     {"a", 1},    {"a\nb\n", 2},
                                                     {"a\nb", 2}, {"\n\n", 2}, {"x\r\ny\r\n", 2}};
        for (std::size_t i = 0; i < std::size(texts); ++i) {
            std::string p = tmp / ("count" + std::to_string(i));
            write_file(p, texts[i].first);
            count_files.push_back({p, texts[i].second});
        }
        count_files.push_back({tmp / "no-such-file", nullptr});
        count_files.push_back({listing_dir, nullptr});
        std::string with_nul = tmp / "count-nul";
        write_file(with_nul, std::string("a\0b\n", 4));
        count_files.push_back({with_nul, nullptr});

        // What git itself makes of this input, run directly; the agent must pass it through.
        stripspace_in = "  first  \n\n\n\nsecond\t\n\n";
        auto r = run_process({"git", "stripspace"}, stripspace_in);
        if (r.exit_code() != 0) throw std::runtime_error("git stripspace failed: " + r.err);
        stripspace_out = r.out;
    }
};

// ---------------------------------------------------------------------------------------------
// Requests and what their replies must be

struct Expected {
    std::string what;                   // for failure messages
    std::string header;                 // exact header text; empty when only the prefix is known
    std::string error_prefix;           // the error text must begin with this ("bad params: ")
    const std::string* body = nullptr;  // exact body; nullptr means empty
};

// A change that must be visible once the run is over.
struct Effect {
    enum Kind { file_is, dir_exists, absent } kind;
    std::string path;
    const std::string* content = nullptr;
};

class Ledger {
  public:
    std::uint64_t next_id() {
        std::uint64_t seq = seq_.fetch_add(1) + 1;
        // Some ids near the top of the range, to see all twenty digits come back.
        return seq % 7 == 0 ? UINT64_MAX - seq : 1'000'000 + seq;
    }
    void expect(std::uint64_t id, Expected e) {
        std::lock_guard<std::mutex> lock(mu_);
        expected_.emplace(id, std::move(e));
    }
    void effect(Effect e) {
        std::lock_guard<std::mutex> lock(mu_);
        effects_.push_back(std::move(e));
    }
    void watched(const std::string& path) {
        std::lock_guard<std::mutex> lock(mu_);
        watched_.insert(path);
    }
    std::map<std::uint64_t, Expected>& expected() { return expected_; }
    std::vector<Effect>& effects() { return effects_; }
    std::set<std::string>& watched_paths() { return watched_; }

  private:
    std::atomic<std::uint64_t> seq_{0};
    std::mutex mu_;
    std::map<std::uint64_t, Expected> expected_;
    std::vector<Effect> effects_;
    std::set<std::string> watched_;
};

struct Outgoing {
    std::string method;
    json data;
    const std::string* body = nullptr;
    std::string raw;  // when set, sent as is instead (envelopes the client cannot build)
    Expected expected;
};

const std::string kEmpty;
const std::string kOne = "one\n";

class LoadGenerator {
  public:
    LoadGenerator(const Fixture& fx, Ledger& ledger, const json& hello_data, std::uint64_t seed)
        : fx_(fx), ledger_(ledger), hello_data_(hello_data), rng_(seed) {}

    Outgoing next(std::uint64_t id) {
        // Weights out of 100.
        int roll = pick(100);
        if ((roll -= 4) < 0) return hello(id);
        if ((roll -= 14) < 0) return read(id);
        if ((roll -= 6) < 0) return stat(id);
        if ((roll -= 4) < 0) return readdir(id);
        if ((roll -= 3) < 0) return canonicalize(id);
        if ((roll -= 4) < 0) return countlines(id);
        if ((roll -= 12) < 0) return write(id);
        if ((roll -= 4) < 0) return mkdirp(id);
        if ((roll -= 4) < 0) return remove(id);
        if ((roll -= 16) < 0) return exec(id);
        if ((roll -= 7) < 0) return git(id);
        if ((roll -= 4) < 0) return watch(id);
        if ((roll -= 9) < 0) return unknown(id);
        return bad_params();
    }

  private:
    int pick(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }

    // Mostly small bodies, sometimes large ones, now and then several MiB.
    const Blob& blob() {
        int r = pick(100);
        const auto& b = fx_.blobs;
        if (r < 15) return b[0];
        if (r < 60) return b[1 + static_cast<std::size_t>(pick(3))];
        if (r < 85) return b[4];
        if (r < 94) return b[5];
        if (r < 98) return b[6];
        return b[7];
    }

    static Outgoing ok(std::string method, json data, std::string what, std::string header,
                       const std::string* reply_body = nullptr) {
        Outgoing o;
        o.method = std::move(method);
        o.data = std::move(data);
        o.expected.what = std::move(what);
        o.expected.header = std::move(header);
        o.expected.body = reply_body;
        return o;
    }

    Outgoing hello(std::uint64_t id) {
        return ok("hello", nullptr, "hello", reply_header(id, hello_data_));
    }

    Outgoing read(std::uint64_t id) {
        if (pick(5) == 0) {
            std::string p = fx_.tmp / "no-such-file";
            return ok("fs.read", {{"path", p}}, "fs.read missing",
                      error_header(id, os_error(ENOENT)));
        }
        const Blob& b = blob();
        return ok("fs.read", {{"path", b.path}}, "fs.read " + b.path, reply_header(id), &b.bytes);
    }

    Outgoing stat(std::uint64_t id) {
        switch (pick(3)) {
            case 0: {
                const Blob& b = blob();
                json st = {{"exists", true}, {"is_dir", false}, {"len", b.bytes.size()}};
                return ok("fs.stat", {{"path", b.path}}, "fs.stat file", reply_header(id, st));
            }
            case 1: {
                struct stat s;
                ::stat(fx_.listing_dir.c_str(), &s);
                json st = {{"exists", true}, {"is_dir", true}, {"len", s.st_size}};
                return ok("fs.stat", {{"path", fx_.listing_dir}, {"recursive", true}},
                          "fs.stat dir", reply_header(id, st));
            }
            default: {
                json st = {{"exists", false}, {"is_dir", false}, {"len", 0}};
                return ok("fs.stat", {{"path", fx_.tmp / "nothing/here"}}, "fs.stat missing",
                          reply_header(id, st));
            }
        }
    }

    Outgoing readdir(std::uint64_t id) {
        return ok("fs.readdir", {{"path", fx_.listing_dir}}, "fs.readdir",
                  reply_header(id, fx_.listing));
    }

    Outgoing canonicalize(std::uint64_t id) {
        json result = {{"path", real_path(fx_.listing_dir)}, {"recursive", false}};
        return ok("fs.canonicalize", {{"path", fx_.listing_dir + "/./../listing"}},
                  "fs.canonicalize", reply_header(id, result));
    }

    Outgoing countlines(std::uint64_t id) {
        json paths = json::array(), counts = json::array();
        int n = pick(static_cast<int>(fx_.count_files.size()) + 1);
        for (int i = 0; i < n; ++i) {
            const CountFile& f = fx_.count_files[static_cast<std::size_t>(
                pick(static_cast<int>(fx_.count_files.size())))];
            paths.push_back(f.path);
            counts.push_back(f.count);
        }
        return ok("fs.countlines", {{"paths", paths}}, "fs.countlines " + paths.dump(),
                  reply_header(id, counts));
    }

    Outgoing write(std::uint64_t id) {
        const Blob& b = blob();
        std::string p = fx_.tmp / ("w/" + std::to_string(id));
        ledger_.effect({Effect::file_is, p, &b.bytes});
        Outgoing o = ok("fs.write", {{"path", p}}, "fs.write " + std::to_string(b.bytes.size()),
                        reply_header(id));
        o.body = &b.bytes;
        return o;
    }

    Outgoing mkdirp(std::uint64_t id) {
        std::string p = fx_.tmp / ("m/" + std::to_string(id) + "/a/b");
        ledger_.effect({Effect::dir_exists, p});
        return ok("fs.mkdirp", {{"path", p}}, "fs.mkdirp", reply_header(id));
    }

    Outgoing remove(std::uint64_t id) {
        std::string p = fx_.tmp / ("r/" + std::to_string(id));
        bool tree = pick(2) == 0;
        if (tree) {
            ::mkdir(p.c_str(), 0755);
            ::mkdir((p + "/sub").c_str(), 0755);
            write_file(p + "/sub/f", "x");
        } else {
            write_file(p, "x");
        }
        ledger_.effect({Effect::absent, p});
        return ok("fs.remove", {{"path", p}, {"recursive", tree}}, "fs.remove", reply_header(id));
    }

    Outgoing exec(std::uint64_t id) {
        switch (pick(5)) {
            case 0:
            case 1:
            case 2: {
                const Blob& b = blob();
                Outgoing o = ok(
                    "exec", {{"cwd", fx_.tmp.path()}, {"program", "cat"}, {"args", json::array()}},
                    "exec cat " + std::to_string(b.bytes.size()),
                    reply_header(id, command_data(0, "")), &b.bytes);
                o.body = &b.bytes;
                return o;
            }
            case 3: {
                std::string tag = std::to_string(id);
                json args = {"-c", "printf 'e%s' \"$1\" >&2; exit 3", "sh", tag};
                return ok("exec", {{"cwd", "/"}, {"program", "sh"}, {"args", args}}, "exec exit 3",
                          reply_header(id, command_data(3, "e" + tag)));
            }
            default: {
                std::string prog = fx_.tmp / "no-such-program";
                return ok("exec", {{"cwd", "/"}, {"program", prog}, {"args", json::array({"x"})}},
                          "exec missing program",
                          reply_header(id, command_data(-1, os_error(ENOENT))));
            }
        }
    }

    Outgoing git(std::uint64_t id) {
        if (pick(2) == 0) {
            const std::string& repo = fx_.repos[static_cast<std::size_t>(pick(3))];
            return ok(
                "git",
                {{"cwd", repo}, {"args", json::array({"cat-file", "-p", "HEAD:tracked.txt"})}},
                "git cat-file", reply_header(id, command_data(0, "")), &kOne);
        }
        Outgoing o =
            ok("git",
               {{"cwd", fx_.tmp.path()},
                {"args", json::array({"stripspace"})},
                {"env", json::array()}},
               "git stripspace", reply_header(id, command_data(0, "")), &fx_.stripspace_out);
        o.body = &fx_.stripspace_in;
        return o;
    }

    Outgoing watch(std::uint64_t id) {
        const std::string& p = fx_.scratch[static_cast<std::size_t>(pick(3))];
        bool on = pick(2) == 0;
        if (on) ledger_.watched(p);
        return ok(on ? "watch" : "unwatch", {{"path", p}}, (on ? "watch " : "unwatch ") + p,
                  reply_header(id));
    }

    Outgoing unknown(std::uint64_t id) {
        struct Name {
            std::string name;
            std::string text;
        };
        static const Name kNames[] = {
            {"frob", R"(unknown method "frob")"},
            {"fs.mkdir", R"(unknown method "fs.mkdir")"},
            {"Hello", R"(unknown method "Hello")"},
            {"hello ", R"(unknown method "hello ")"},
            {"fs.read\n", R"(unknown method "fs.read\n")"},
            {"tab\there", R"(unknown method "tab\there")"},
            {"quo\"te\\", R"(unknown method "quo\"te\\")"},
            {"", R"(unknown method "")"},
        };
        const Name& n = kNames[pick(static_cast<int>(std::size(kNames)))];
        Outgoing o = ok(n.name, {{"path", "/"}}, "unknown method", error_header(id, n.text));
        o.body = &blob().bytes;  // a body is released unread, and none comes back
        if (pick(3) == 0) {
            // No method member at all, in the array form.
            o.raw = vesk::client::encode_frame("[" + std::to_string(id) + "]") +
                    vesk::client::encode_frame(*o.body);
            o.expected.header = error_header(id, R"(unknown method "")");
        }
        return o;
    }

    Outgoing bad_params() {
        struct Bad {
            const char* method;
            json data;
        };
        static const Bad kBad[] = {
            {"fs.read", json::object()},
            {"fs.stat", {{"path", 5}}},
            {"fs.write", "text"},
            {"fs.countlines", {{"paths", "x"}}},
            {"exec", {{"cwd", "/"}, {"program", "true"}, {"args", json::array({1})}}},
            {"git", {{"cwd", "/"}, {"args", json::array({"status"})}, {"env", nullptr}}},
            {"watch", json::array()},
            {"fs.remove", {{"path", "/"}, {"recursive", "yes"}}},
        };
        const Bad& b = kBad[pick(static_cast<int>(std::size(kBad)))];
        Outgoing o;
        o.method = b.method;
        o.data = b.data;
        o.body = &blob().bytes;
        o.expected.what = std::string("bad params for ") + b.method;
        o.expected.error_prefix = "bad params: ";
        return o;
    }

    const Fixture& fx_;
    Ledger& ledger_;
    const json& hello_data_;
    std::mt19937_64 rng_;
};

// Keeps the watched repositories moving: a different untracked file every tick, and now and
// then a new content for the tracked file, so every poll sees a new status listing.
class Mutator {
  public:
    explicit Mutator(std::vector<std::string> repos)
        : repos_(std::move(repos)), thread_([this] { run(); }) {}
    ~Mutator() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

  private:
    void run() {
        for (int tick = 1; !stop_; ++tick) {
            for (const auto& repo : repos_) {
                write_file(repo + "/u" + std::to_string(tick), "u");
                ::unlink((repo + "/u" + std::to_string(tick - 1)).c_str());
                if (tick % 3 == 0) write_file(repo + "/tracked.txt", std::to_string(tick) + "\n");
            }
            std::this_thread::sleep_for(400ms);
        }
    }

    std::vector<std::string> repos_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string check_effect(const Effect& e) {
    struct stat st;
    switch (e.kind) {
        case Effect::file_is:
            if (::lstat(e.path.c_str(), &st) != 0) return "missing " + e.path;
            if (read_file(e.path) != *e.content) return "wrong content in " + e.path;
            return {};
        case Effect::dir_exists:
            if (::stat(e.path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                return "no directory " + e.path;
            return {};
        case Effect::absent:
            if (::lstat(e.path.c_str(), &st) == 0) return "still there: " + e.path;
            return {};
    }
    return {};
}

TEST(Stress, MixedLoadKeepsTheStreamExact) {
    const double scale = stress_scale();
    const int total = std::max(kClientThreads, static_cast<int>(kBaseRequests * scale));
    const std::uint64_t seed = 20240611;
    std::cerr << "[ stress  ] " << total << " requests, scale " << scale << ", seed " << seed
              << "\n";

    Fixture fx;
    vesk::client::StartOptions options;
    options.argv = {agent_path(), "serve"};
    options.env = {{"HOME", fx.home}};
    AgentClient c(options);
    std::atomic<int> events{0};
    c.set_event_handler([&](const Message&) { ++events; });
    const ProcState idle = settled_state(c.pid());

    Message hello = c.call("hello", nullptr, {}, kReplyWait);
    ASSERT_FALSE(hello.error) << *hello.error;
    for (const char* member : {"arch", "git", "home", "os", "protocol", "version"}) {
        EXPECT_TRUE(hello.data.contains(member)) << member;
    }
    EXPECT_EQ(hello.data.size(), 6u);
    EXPECT_EQ(hello.data.value("home", ""), fx.home);
    EXPECT_EQ(hello.data.value("os", ""), "linux");

    Ledger ledger;
    for (const auto& repo : fx.repos) {
        ledger.watched(repo);
        EXPECT_EQ(c.call("watch", {{"path", repo}}, {}, kReplyWait).error, std::nullopt);
    }
    Mutator mutator(fx.repos);

    std::mutex problems_mu;
    std::vector<std::string> problems;
    auto note = [&](std::string p) {
        std::lock_guard<std::mutex> lock(problems_mu);
        if (problems.size() < 50) problems.push_back(std::move(p));
    };
    auto started = std::chrono::steady_clock::now();
    std::vector<std::thread> clients;
    for (int t = 0; t < kClientThreads; ++t) {
        int count = total / kClientThreads + (t < total % kClientThreads ? 1 : 0);
        clients.emplace_back([&, t, count] {
            LoadGenerator gen(fx, ledger, hello.data, seed + static_cast<std::uint64_t>(t));
            std::deque<std::pair<std::uint64_t, std::string>> in_flight;
            const auto begin = std::chrono::steady_clock::now();
            auto settle_one = [&] {
                auto [id, what] = in_flight.front();
                in_flight.pop_front();
                if (!c.wait_reply(id, kReplyWait)) {
                    note("no reply to " + std::to_string(id) + " (" + what + ")");
                }
            };
            for (int i = 0; i < count; ++i) {
                std::this_thread::sleep_until(begin +
                                              std::chrono::milliseconds(kLoadSpread) * i / count);
                std::uint64_t id = ledger.next_id();
                Outgoing o = gen.next(id);
                std::string what = o.expected.what;
                ledger.expect(id, std::move(o.expected));
                try {
                    if (!o.raw.empty()) {
                        c.send_raw(o.raw);
                    } else {
                        c.send_with_id(id, o.method, o.data, o.body ? *o.body : kEmpty);
                    }
                } catch (const std::exception& e) {
                    note(std::string("send failed: ") + e.what());
                    return;
                }
                in_flight.emplace_back(id, std::move(what));
                if (in_flight.size() >= kWindow) settle_one();
            }
            while (!in_flight.empty()) settle_one();
        });
    }
    for (auto& t : clients) t.join();
    const int events_during_load = events.load();
    auto storm = std::chrono::steady_clock::now() - started;
    std::cerr << "[ stress  ] load done in "
              << std::chrono::duration_cast<std::chrono::milliseconds>(storm).count() << " ms, "
              << events_during_load << " events meanwhile\n";
    for (const auto& p : problems) ADD_FAILURE() << p;
    EXPECT_GT(events_during_load, 0) << "no event came while the load ran";

    for (const auto& p : fx.scratch) {
        EXPECT_EQ(c.call("unwatch", {{"path", p}}, {}, kReplyWait).error, std::nullopt);
    }
    mutator.stop();

    // Idle again: only the three repository watchers are left besides the idle threads.
    std::string last;
    EXPECT_TRUE(
        back_to_idle(c.pid(), idle, idle.threads + kRuntimeThreads + fx.repos.size(), &last))
        << "idle: " << idle.describe() << "\nnow: " << last;

    c.close_input();
    auto status = c.wait_exit(60s);
    ASSERT_TRUE(status) << "agent did not exit after end of input";
    EXPECT_EQ(*status, 0) << vesk::client::describe_wait_status(*status) << "; stderr "
                          << c.stderr_text();
    EXPECT_FALSE(c.output_malformed()) << c.failure().value_or("");

    // The stream, re-parsed from the raw bytes.
    const std::string raw = c.raw_output();
    std::vector<std::string_view> frames;
    std::size_t at = 0;
    ASSERT_TRUE(split_frames(raw, frames, &at)) << "stream breaks framing at byte " << at;
    ASSERT_EQ(frames.size() % 2, 0u) << "a header frame without its body frame at the end";

    auto& expected = ledger.expected();
    const auto& watched = ledger.watched_paths();
    std::set<std::uint64_t> answered;
    std::size_t event_count = 0, bad = 0;
    auto fail = [&](const std::string& msg) {
        if (++bad <= 30) ADD_FAILURE() << msg;
    };
    for (std::size_t i = 0; i < frames.size(); i += 2) {
        const std::string header(frames[i]);
        const std::string_view body = frames[i + 1];
        if (std::string p = envelope_form_problem(header); !p.empty()) {
            fail("message " + std::to_string(i / 2) + ": " + p + ": " + header);
            continue;
        }
        json h = json::parse(header);
        std::uint64_t id = h["id"].get<std::uint64_t>();
        if (h.contains("method")) {
            ++event_count;
            std::string path = h.contains("data") && h["data"].is_object() &&
                                       h["data"].contains("path") && h["data"]["path"].is_string()
                                   ? h["data"]["path"].get<std::string>()
                                   : std::string();
            if (!watched.count(path)) fail("event for a path never watched: " + header);
            if (header != event_header(path)) fail("malformed event: " + header);
            if (!body.empty()) fail("event with a body: " + header);
            continue;
        }
        if (id < 1'000'000) continue;  // the set-up calls above, checked where they were made
        auto it = expected.find(id);
        if (it == expected.end()) {
            fail("reply to an id never sent: " + header);
            continue;
        }
        if (!answered.insert(id).second) {
            fail("second reply to " + it->second.what + ": " + header);
            continue;
        }
        const Expected& e = it->second;
        if (!e.header.empty()) {
            if (header != e.header) fail(e.what + ": header " + header + ", expected " + e.header);
        } else {
            std::string head = "{\"id\":" + std::to_string(id) + ",\"error\":\"" + e.error_prefix;
            if (header.rfind(head, 0) != 0 || h.size() != 2)
                fail(e.what + ": header " + header + ", expected an error starting " + head);
        }
        const std::string& want = e.body ? *e.body : kEmpty;
        if (body != want) {
            fail(e.what + ": body differs: " + std::to_string(body.size()) + " bytes, expected " +
                 std::to_string(want.size()));
        }
    }
    for (const auto& [id, e] : expected) {
        if (!answered.count(id)) fail("never answered: id " + std::to_string(id) + " " + e.what);
    }
    EXPECT_EQ(answered.size(), expected.size());
    EXPECT_EQ(event_count, static_cast<std::size_t>(events.load()));
    for (const Effect& e : ledger.effects()) {
        if (std::string p = check_effect(e); !p.empty()) fail(p);
    }
    EXPECT_EQ(bad, 0u) << bad << " problems in all";
    std::cerr << "[ stress  ] " << frames.size() / 2 << " messages, " << event_count << " events, "
              << raw.size() << " bytes\n";
}

}  // namespace

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/dispatch.h"
#include "agent/git/registry.h"
#include "agent/git/watcher.h"
#include "agent/sys.h"
#include "git/repo_fixture.h"
#include "support/harness.h"

namespace vesk {
namespace {

using namespace std::chrono_literals;

// A pipe standing in for the protocol stream, so tests can read what a watcher wrote.
struct OutputPipe {
    OutputPipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2");
        read_end.reset(fds[0]);
        write_end.reset(fds[1]);
        output = std::make_shared<SharedOutput>(write_end.get());
    }
    // Everything written so far, waiting up to timeout for the first byte.
    std::string drain(std::chrono::milliseconds timeout) {
        std::string got;
        pollfd p{read_end.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return got;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(read_end.get(), buf, sizeof buf)) > 0) got.append(buf, n);
        return got;
    }
    unique_fd read_end, write_end;
    std::shared_ptr<SharedOutput> output;
};

struct Fixture {
    std::shared_ptr<WatcherRegistry> registry = std::make_shared<WatcherRegistry>();
    OutputPipe out;
    Bytes body;

    HandlerOutcome call(Handler h, const nlohmann::json& data) {
        RequestContext ctx{data, body, out.output, registry};
        return h(ctx);
    }
    std::size_t entries() {
        std::lock_guard<std::mutex> lock(registry->mutex());
        return registry->entries().size();
    }
};

// Replaces the thread starter for one test and puts the real one back afterwards.
class StarterOverride {
  public:
    explicit StarterOverride(ThreadStarter fake) : saved_(watcher_thread_starter) {
        watcher_thread_starter = fake;
    }
    ~StarterOverride() { watcher_thread_starter = saved_; }

  private:
    ThreadStarter saved_;
};

int g_starts = 0;
std::vector<std::function<void()>> g_held;  // watcher bodies a fake starter kept, unrun

int failing_starter(std::function<void()>, std::size_t) {
    return EAGAIN;
}
int holding_starter(std::function<void()> fn, std::size_t stack_size) {
    ++g_starts;
    EXPECT_EQ(stack_size, 0u);  // the watcher runs on the default stack
    g_held.push_back(std::move(fn));
    return 0;
}

bool is_error(const HandlerOutcome& o, const std::string& text) {
    auto* e = std::get_if<ErrorReply>(&o);
    return e && e->text == text;
}
bool is_null_success(const HandlerOutcome& o) {
    auto* s = std::get_if<SuccessReply>(&o);
    return s && s->data.is_null() && s->body.empty();
}

TEST(WatchHandler, ThreadStartFailureLeavesNoEntryAndAnswersTheSystemError) {
    test::TempDir tmp;
    Fixture f;
    {
        StarterOverride fake(failing_starter);
        HandlerOutcome o = f.call(handle_watch, {{"path", tmp.path()}});
        EXPECT_TRUE(is_error(o, test::os_error(EAGAIN)));
    }
    EXPECT_EQ(f.entries(), 0u);
    ASSERT_TRUE(f.registry->mutex().try_lock());
    f.registry->mutex().unlock();

    // The failed attempt must not make the path look watched: the next "watch" starts one.
    g_starts = 0;
    g_held.clear();
    StarterOverride fake(holding_starter);
    EXPECT_TRUE(is_null_success(f.call(handle_watch, {{"path", tmp.path()}})));
    EXPECT_EQ(g_starts, 1);
    EXPECT_EQ(f.entries(), 1u);
}

TEST(WatchHandler, OneWatcherPerPathTextAndUnwatchClearsItsFlag) {
    test::TempDir tmp;
    Fixture f;
    g_starts = 0;
    g_held.clear();
    StarterOverride fake(holding_starter);

    EXPECT_TRUE(is_null_success(f.call(handle_watch, {{"path", tmp.path()}})));
    EXPECT_TRUE(is_null_success(f.call(handle_watch, {{"path", tmp.path()}})));
    EXPECT_TRUE(is_null_success(f.call(handle_watch, {{"path", tmp.path() + "/"}})));
    EXPECT_EQ(g_starts, 2);
    EXPECT_EQ(f.entries(), 2u);

    RunFlag flag;
    {
        std::lock_guard<std::mutex> lock(f.registry->mutex());
        flag = f.registry->entries().at(tmp.path());
    }
    EXPECT_TRUE(flag->load());
    EXPECT_TRUE(is_null_success(f.call(handle_unwatch, {{"path", tmp.path()}})));
    EXPECT_FALSE(flag->load());
    EXPECT_EQ(f.entries(), 1u);
    EXPECT_TRUE(is_null_success(f.call(handle_unwatch, {{"path", tmp.path()}})));
    EXPECT_TRUE(is_null_success(f.call(handle_unwatch, {{"path", "never watched"}})));
    EXPECT_EQ(f.entries(), 1u);
}

TEST(WatchHandler, BadParamsTouchNothing) {
    Fixture f;
    g_starts = 0;
    StarterOverride fake(holding_starter);
    for (Handler h : {handle_watch, handle_unwatch}) {
        HandlerOutcome o = f.call(h, nullptr);
        EXPECT_TRUE(is_error(o, "bad params: invalid type: null, expected struct PathParams"));
        o = f.call(h, {{"path", 5}});
        EXPECT_TRUE(is_error(o, "bad params: invalid type: integer `5`, expected a string"));
    }
    EXPECT_EQ(g_starts, 0);
    EXPECT_EQ(f.entries(), 0u);
}

std::string changed_event_bytes(const std::string& path) {
    return test::frame(R"({"id":0,"method":"changed","data":{"path":)" +
                       nlohmann::json(path).dump() + "}}") +
           test::frame("");
}

TEST(Watcher, WritesOneEventPerChangeAndStopsOnItsFlag) {
    test::TempDir tmp;
    std::string repo = tmp / "repo";
    test::make_repo(repo);
    OutputPipe out;
    WatcherState state;
    state.path = "the \"watched\" text";
    state.location = locate_repository(repo);
    state.last = repository_fingerprint(state.location.workdir, state.location.git_dirs);
    state.run = std::make_shared<std::atomic<bool>>(true);
    state.output = out.output;
    RunFlag run = state.run;
    std::thread watcher(run_watcher, std::move(state), std::chrono::milliseconds(20));

    EXPECT_EQ(out.drain(300ms), "");  // nothing moved
    test::write_file(repo + "/tracked.txt", "edited\n");
    EXPECT_EQ(out.drain(3000ms), changed_event_bytes("the \"watched\" text"));
    test::write_file(repo + "/tracked.txt", "edited again, still just modified\n");
    EXPECT_EQ(out.drain(300ms), "");

    run->store(false);
    watcher.join();
}

}  // namespace
}  // namespace vesk

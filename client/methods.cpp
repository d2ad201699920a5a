// Typed helpers: one request per call, the reply decoded into a plain struct.
#include "client/agent_client.h"

namespace vesk::client {

namespace {

using nlohmann::json;

json path_params(const std::string& path) {
    return json{{"path", path}};
}

// A reply whose data does not have the documented shape means we are not talking to an agent
// we understand; say so instead of letting a JSON type error escape.
template <typename F>
auto decode(std::string_view method, const json& data, F&& f) -> decltype(f(data)) {
    try {
        return f(data);
    } catch (const json::exception& e) {
        throw AgentError("unexpected reply to " + std::string(method) + ": " + data.dump() + " (" +
                         e.what() + ")");
    }
}

}  // namespace

Message AgentClient::checked(std::string_view method, const nlohmann::json& data, Body body,
                             Sink sink) {
    Message m = request(method, data, body, std::move(sink));
    if (m.error) throw RequestError(std::string(method), *m.error);
    return m;
}

Hello AgentClient::hello() {
    Message m = checked("hello", nullptr);
    return decode("hello", m.data, [](const json& d) {
        Hello h;
        h.arch = d.at("arch").get<std::string>();
        if (!d.at("git").is_null()) h.git = d.at("git").get<std::string>();
        h.home = d.at("home").get<std::string>();
        h.os = d.at("os").get<std::string>();
        h.protocol = d.at("protocol").get<std::uint64_t>();
        h.version = d.at("version").get<std::string>();
        return h;
    });
}

std::string AgentClient::read_file(const std::string& path, Sink sink) {
    return checked("fs.read", path_params(path), {}, std::move(sink)).body;
}

void AgentClient::write_file(const std::string& path, Body content) {
    checked("fs.write", path_params(path), content);
}

FileStat AgentClient::stat(const std::string& path) {
    Message m = checked("fs.stat", path_params(path));
    return decode("fs.stat", m.data, [](const json& d) {
        FileStat s;
        s.exists = d.at("exists").get<bool>();
        s.is_dir = d.at("is_dir").get<bool>();
        s.len = d.at("len").get<std::uint64_t>();
        return s;
    });
}

std::vector<std::string> AgentClient::readdir(const std::string& path) {
    Message m = checked("fs.readdir", path_params(path));
    return decode("fs.readdir", m.data,
                  [](const json& d) { return d.get<std::vector<std::string>>(); });
}

void AgentClient::mkdirp(const std::string& path) {
    checked("fs.mkdirp", path_params(path));
}

void AgentClient::remove(const std::string& path, bool recursive) {
    checked("fs.remove", json{{"path", path}, {"recursive", recursive}});
}

std::string AgentClient::canonicalize(const std::string& path) {
    Message m = checked("fs.canonicalize", path_params(path));
    return decode("fs.canonicalize", m.data,
                  [](const json& d) { return d.at("path").get<std::string>(); });
}

std::vector<std::optional<std::uint32_t>> AgentClient::countlines(
    const std::vector<std::string>& paths) {
    Message m = checked("fs.countlines", json{{"paths", paths}});
    return decode("fs.countlines", m.data, [&](const json& d) {
        if (!d.is_array() || d.size() != paths.size())
            throw json::type_error::create(302, "not one count per path", &d);
        std::vector<std::optional<std::uint32_t>> out;
        for (const json& n : d) {
            if (n.is_null())
                out.emplace_back();
            else
                out.emplace_back(n.get<std::uint32_t>());
        }
        return out;
    });
}

ProgramResult AgentClient::program(std::string_view method, const nlohmann::json& data, Body input,
                                   Sink sink) {
    Message m = checked(method, data, input, std::move(sink));
    ProgramResult r = decode(method, m.data, [](const json& d) {
        ProgramResult out;
        out.code = d.at("code").get<int>();
        out.stderr_text = d.at("stderr").get<std::string>();
        return out;
    });
    r.stdout_bytes = std::move(m.body);
    r.stdout_size = m.body_size;
    return r;
}

ProgramResult AgentClient::exec(const std::string& cwd, const std::string& program,
                                const std::vector<std::string>& args, Body input,
                                Sink stdout_sink) {
    return this->program("exec", json{{"cwd", cwd}, {"program", program}, {"args", args}}, input,
                         std::move(stdout_sink));
}

ProgramResult AgentClient::git(const std::string& cwd, const std::vector<std::string>& args,
                               const std::vector<std::pair<std::string, std::string>>& env,
                               Body input, Sink stdout_sink) {
    json pairs = json::array();
    for (const auto& [name, value] : env) pairs.push_back(json::array({name, value}));
    return program("git", json{{"cwd", cwd}, {"args", args}, {"env", pairs}}, input,
                   std::move(stdout_sink));
}

void AgentClient::watch(const std::string& path) {
    checked("watch", path_params(path));
}

void AgentClient::unwatch(const std::string& path) {
    checked("unwatch", path_params(path));
}

}  // namespace vesk::client

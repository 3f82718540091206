// Starting and stopping a private Prometheus, asking it over its HTTP API, and running promtool.
#include "prometheus_server.h"

#include <httplib.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

namespace metricstest {
namespace {

constexpr auto kReadyBound = std::chrono::seconds(30);
constexpr auto kStopBound = std::chrono::seconds(10);

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

pid_t spawnLogged(std::vector<std::string> args, const std::string& logPath) {
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(log, 1);
        ::dup2(log, 2);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Waits for the exit within `bound`; false when the process is still there.
bool reaped(pid_t pid, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace

uint16_t freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

std::optional<std::string> httpGet(uint16_t port, const std::string& path) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2);
    client.set_read_timeout(5);
    auto response = client.Get(path.c_str());
    if (!response || response->status != 200)
        return std::nullopt;
    return response->body;
}

int promtoolCheckMetrics(const std::string& text, std::string* output) {
    char pattern[] = "/tmp/vorn-promtool-XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd < 0)
        return -1;
    ::close(fd);
    std::ofstream(pattern) << text;
    const std::string command = std::string("promtool check metrics < ") + pattern + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[512];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe))
        *output += buffer;
    const int status = pipe ? ::pclose(pipe) : -1;
    std::filesystem::remove(pattern);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

PrometheusServer::~PrometheusServer() {
    stop();
    if (!m_directory.empty())
        std::filesystem::remove_all(m_directory);
}

bool PrometheusServer::start(uint16_t targetPort, std::string* error) {
    char pattern[] = "/tmp/vorn-prometheus-XXXXXX";
    if (!::mkdtemp(pattern))
        return *error = "no private directory", false;
    m_directory = pattern;
    m_port = freeLoopbackPort();
    std::ofstream(m_directory + "/prometheus.yml")
        << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
        << "scrape_configs:\n  - job_name: vornhost\n    static_configs:\n"
        << "      - targets: ['127.0.0.1:" << targetPort << "']\n";
    m_pid = spawnLogged({"prometheus", "--config.file=" + m_directory + "/prometheus.yml",
                         "--storage.tsdb.path=" + m_directory + "/data",
                         "--web.listen-address=127.0.0.1:" + std::to_string(m_port)},
                        m_directory + "/log");
    const auto deadline = std::chrono::steady_clock::now() + kReadyBound;
    while (std::chrono::steady_clock::now() < deadline) {
        if (httpGet(m_port, "/-/ready"))
            return true;
        if (m_pid <= 0 || reaped(m_pid, std::chrono::milliseconds(200))) {
            m_pid = -1;
            break;
        }
    }
    *error = "prometheus did not become ready:\n" + log();
    return false;
}

void PrometheusServer::stop() {
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    if (!reaped(m_pid, kStopBound)) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    m_pid = -1;
}

std::optional<std::string> PrometheusServer::query(const std::string& expression) const {
    auto body = httpGet(m_port, "/api/v1/query?query=" + expression);
    std::smatch found;
    static const std::regex value(R"re("value":\[[0-9.e+]+,"([^"]*)"\])re");
    if (!body || !std::regex_search(*body, found, value))
        return std::nullopt;
    return found[1].str();
}

std::string PrometheusServer::log() const {
    return readFile(m_directory + "/log");
}

} // namespace metricstest

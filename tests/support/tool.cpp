#include "tool.h"

#include "fd.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

std::string tool_path() {
    if (const char *p = std::getenv("UPDATE_SYSCON"))
        return p;
    return UPDATE_SYSCON_PATH;
}

namespace {

ToolResult run_argv(const std::string &path, const std::vector<std::string> &argv, int timeout_ms) {
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    UniqueFd out_r(out_pipe[0]), out_w(out_pipe[1]), err_r(err_pipe[0]), err_w(err_pipe[1]);

    std::vector<char *> cargv;
    for (const std::string &a : argv)
        cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out_w.get(), STDOUT_FILENO);
        dup2(err_w.get(), STDERR_FILENO);
        execv(path.c_str(), cargv.data());
        _exit(127);
    }
    out_w.reset();
    err_w.reset();

    ToolResult r;
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    bool killed = false;
    while (out_r || err_r) {
        struct pollfd p[2] = {{out_r.get(), POLLIN, 0}, {err_r.get(), POLLIN, 0}};
        const int rc = ::poll(p, 2, 100);
        if (rc < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[65536];
            const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
            if (n <= 0)
                (i == 0 ? out_r : err_r).reset();
            else
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
        }
        if (!killed && clock::now() > deadline) {
            kill(pid, SIGKILL);
            killed = true;
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return r;
}

} // namespace

ToolResult run_tool(const std::vector<std::string> &args, int timeout_ms,
                    const std::string &argv0) {
    std::vector<std::string> argv{argv0.empty() ? tool_path() : argv0};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_argv(tool_path(), argv, timeout_ms);
}

ToolResult run_program(const std::vector<std::string> &argv, int timeout_ms) {
    return run_argv(argv.at(0), argv, timeout_ms);
}

} // namespace testsupport

#include "tool.h"

#include "pty.h"

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

ToolResult run_tool(const std::vector<std::string> &args, int timeout_ms, const std::string &argv0,
                    const std::function<void(pid_t)> &during) {
    std::vector<std::string> argv{argv0.empty() ? tool_path() : argv0};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> cargv;
    for (const std::string &a : argv)
        cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    UniqueFd pipes[4] = {UniqueFd(out_pipe[0]), UniqueFd(out_pipe[1]), UniqueFd(err_pipe[0]),
                         UniqueFd(err_pipe[1])};
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(pipes[1].get(), STDOUT_FILENO);
        dup2(pipes[3].get(), STDERR_FILENO);
        execv(tool_path().c_str(), cargv.data());
        _exit(127);
    }
    pipes[1].reset();
    pipes[3].reset();
    if (during)
        during(pid);

    // Both streams are read as they come, so that neither pipe fills up.
    ToolResult r;
    std::string *streams[2] = {&r.out, &r.err};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (pipes[0] || pipes[2]) {
        struct pollfd p[2] = {{pipes[0].get(), POLLIN, 0}, {pipes[2].get(), POLLIN, 0}};
        if (::poll(p, 2, 100) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            char buf[65536];
            const ssize_t n = p[i].revents ? ::read(p[i].fd, buf, sizeof buf) : 1;
            if (n <= 0)
                pipes[2 * i].reset();
            else if (p[i].revents)
                streams[i]->append(buf, static_cast<size_t>(n));
        }
        if (std::chrono::steady_clock::now() > deadline)
            kill(pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return r;
}

} // namespace testsupport

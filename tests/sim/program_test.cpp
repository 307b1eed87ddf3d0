// The syscon_sim program, run as a child process and talked to through its link.
#include "sim_client.h"
#include "tool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace simtest;
using testsupport::hex;

namespace {

const char kDevOneReply[] = "06 02 24 57 50 3A 44 45 56 3A 01 03";

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// A scratch directory, removed with its files.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/syscon_sim_test_XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// syscon_sim running in the background, with its output captured.
class Program {
  public:
    explicit Program(std::vector<std::string> args) {
        args.insert(args.begin(), SYSCON_SIM_PATH);
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            std::vector<char *> argv;
            for (std::string &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_.reset(out[0]);
        err_.reset(err[0]);
    }
    ~Program() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // The first line of standard output, without its newline.
    std::string first_line(int timeout_ms = 5000) {
        std::string line;
        while (line.find('\n') == std::string::npos) {
            const Bytes b = testsupport::read_some(out_.get(), 1, timeout_ms);
            if (b.empty())
                return line;
            line += static_cast<char>(b[0]);
        }
        line.pop_back();
        return line;
    }

    // Waits for the exit; returns the status (-1 on time-out) and collects stderr.
    int wait(int timeout_ms = 5000) {
        int status = 0;
        for (int waited = 0; waited < timeout_ms; waited += 10) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                err_text = collect(err_.get());
                return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    void signal(int sig) { kill(pid_, sig); }

    std::string err_text;

  private:
    static std::string collect(int fd) {
        std::string s;
        for (;;) {
            const Bytes b = testsupport::read_some(fd, 4096, 200);
            if (b.empty())
                return s;
            s.append(b.begin(), b.end());
        }
    }

    pid_t pid_ = -1;
    bool exited_ = false;
    testsupport::UniqueFd out_, err_;
};

TEST(SysconSimProgram, ServesOnItsLinkUntilSigterm) {
    TempDir dir;
    const std::string link = dir / "syscon";
    Program sim({"--link", link});
    const std::string slave = sim.first_line();
    ASSERT_FALSE(slave.empty());
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(slave, target);
    {
        Client client(link);
        EXPECT_EQ(hex(client.exchange({0x02, 0x44, 0x45, 0x56, 0x3A, 0x01, 0x03}, 12)),
                  kDevOneReply);
    }
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(), 0);
    EXPECT_EQ(sim.err_text, "syscon_sim: requests DEV=1; bytes in 7 out 12; unerased programs 0; "
                            "ignored frames 0\n");
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left behind";
}

TEST(SysconSimProgram, ReplacesAnExistingLinkAndStopsOnSigint) {
    TempDir dir;
    const std::string link = dir / "syscon";
    ASSERT_EQ(symlink("/nonexistent", link.c_str()), 0);
    Program sim({"--link", link});
    const std::string slave = sim.first_line();
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(slave, target);
    sim.signal(SIGINT);
    EXPECT_EQ(sim.wait(), 0);
}

TEST(SysconSimProgram, LoadsServesAndSavesImages) {
    TempDir dir;
    const std::string link = dir / "syscon";
    Bytes image(0x2000);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i ^ (i >> 8));
    write_file(dir / "ipl.bin", image);
    Program sim({"--link", link, "--load", "ipl=" + (dir / "ipl.bin"), "--save",
                 "ipl=" + (dir / "ipl.out"), "--save", "dev1=" + (dir / "dev1.out"), "--trace",
                 dir / "trace.txt", "--version-text", "font=F9", "--fault", "ERS:1:status=5"});
    ASSERT_FALSE(sim.first_line().empty());
    {
        Client client(link);
        EXPECT_EQ(hex(client.exchange(dev_frame(0), 12)), "06 02 24 57 50 3A 44 45 56 3A 00 03");
        EXPECT_EQ(client.exchange(rdt_frame(0x1E9000), 4112),
                  cat({{0x06}, rdt_response(Bytes(image.begin() + 0x1000, image.end()))}));
        // The first erase fails as asked, the second one works.
        EXPECT_EQ(hex(client.exchange(ers_frame(0x1E8000, 0x1000), 12)),
                  "06 02 24 57 50 3A 45 52 53 3A 05 03");
        EXPECT_EQ(hex(client.exchange(ers_frame(0x1E8000, 0x1000), 12)),
                  "06 02 24 57 50 3A 45 52 53 3A 00 03");
        EXPECT_EQ(hex(client.exchange(query_frame("FRV"), 23)),
                  "06 02 24 57 50 3A 46 52 56 3A 46 39 00 00 00 00 00 00 00 00 00 00 03");
        EXPECT_EQ(hex(client.exchange(dev_frame(1), 12)), kDevOneReply);
        EXPECT_EQ(hex(client.exchange(wdt_frame(0x100000, Bytes(4096, 0x12)), 12)),
                  "06 02 24 57 50 3A 57 44 54 3A 00 03");
    }
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(), 0);

    std::string expected_ipl(0x18000, '\xFF');
    std::copy(image.begin() + 0x1000, image.end(), expected_ipl.begin() + 0x1000);
    EXPECT_EQ(read_file(dir / "ipl.out"), expected_ipl);
    std::string expected_dev1(0x200000, '\xFF');
    std::fill_n(expected_dev1.begin() + 0x100000, 4096, '\x12');
    EXPECT_EQ(read_file(dir / "dev1.out"), expected_dev1);

    const std::string trace = read_file(dir / "trace.txt");
    EXPECT_NE(trace.find("fault   ERS #1: status 0x05, not carried out"), std::string::npos)
        << trace;
    EXPECT_NE(trace.find("summary requests FRV=1 DEV=2 ERS=2 WDT=1 RDT=1;"), std::string::npos)
        << trace;
    EXPECT_NE(sim.err_text.find("requests FRV=1 DEV=2 ERS=2 WDT=1 RDT=1;"), std::string::npos)
        << sim.err_text;
}

TEST(SysconSimProgram, OnceEndsWhenTheClientCloses) {
    TempDir dir;
    const std::string link = dir / "syscon";
    Program sim({"--once", "--link", link, "--max-block", "1024"});
    ASSERT_FALSE(sim.first_line().empty());
    {
        Client client(link);
        EXPECT_EQ(hex(client.exchange(siz_frame(4096), 15)),
                  "06 02 24 57 50 3A 53 49 5A 3A 00 00 04 00 03");
        EXPECT_EQ(sim.wait(300), -1) << "stopped while the client was still there";
    }
    EXPECT_EQ(sim.wait(), 0);
    EXPECT_NE(sim.err_text.find("requests SIZ=1;"), std::string::npos) << sim.err_text;
}

TEST(SysconSimProgram, RefusesClientAtAnotherRate) {
    TempDir dir;
    const std::string link = dir / "syscon";
    Program sim({"--link", link, "--baud", "115200", "--trace", dir / "trace.txt"});
    ASSERT_FALSE(sim.first_line().empty());
    {
        Client client(link, 38400);
        client.send(dev_frame(1));
        EXPECT_TRUE(client.silent_for(300));
    }
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(), 0);
    EXPECT_NE(sim.err_text.find("requests none; bytes in 7 out 0; unerased programs 0; "
                                "ignored frames 1"),
              std::string::npos)
        << sim.err_text;
    const std::string trace = read_file(dir / "trace.txt");
    EXPECT_NE(trace.find("line    8N2 raw 38400 (custom speed): device cannot understand "
                         "(rate 38400, device runs at 115200)"),
              std::string::npos)
        << trace;
}

TEST(SysconSimProgram, HelpDescribesEveryOption) {
    const auto r = testsupport::run_program({SYSCON_SIM_PATH, "--help"}, 5000);
    EXPECT_EQ(r.status, 0);
    for (const char *option :
         {"--link", "--once", "--baud", "--pace", "--ack-after-frame", "--max-block", "--erase-ms",
          "--program-ms", "--version-text", "--load", "--save", "--fault", "--trace", "--help"})
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
}

TEST(SysconSimProgram, BadOptionsExitWithUsageStatus) {
    const std::vector<std::vector<std::string>> cases = {
        {SYSCON_SIM_PATH, "--fault", "ERS:1:bogus"},
        {SYSCON_SIM_PATH, "--max-block", "512"},
        {SYSCON_SIM_PATH, "extra"},
    };
    for (const auto &argv : cases) {
        const auto r = testsupport::run_program(argv, 5000);
        EXPECT_EQ(r.status, 2) << argv[1];
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("Try 'syscon_sim --help'"), std::string::npos) << r.err;
    }
    const auto missing =
        testsupport::run_program({SYSCON_SIM_PATH, "--load", "apli=/nonexistent/apli.bin"}, 5000);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot open /nonexistent/apli.bin"), std::string::npos)
        << missing.err;
}

} // namespace

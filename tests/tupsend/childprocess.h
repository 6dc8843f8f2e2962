// Runs the real programs as child processes for the tests: arguments as a
// list (no shell), standard output and error captured in files of a
// temporary directory, environment additions, and a kill on time-out so a
// hanging program fails the test instead of blocking it.
#pragma once

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace testutil
{

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline std::string makeTempDir()
{
    char tmpl[] = "/tmp/tessal-frame-XXXXXX";
    const char* d = mkdtemp(tmpl);
    return d ? d : "";
}

class Child
{
public:
    Child(const std::string& program, const std::vector<std::string>& args, const std::string& dir,
          const std::vector<std::pair<std::string, std::string>>& env = {})
        : m_out(dir + "/stdout." + std::to_string(++counter())),
          m_err(dir + "/stderr." + std::to_string(counter()))
    {
        m_pid = fork();
        if (m_pid == 0) {
            for (const auto& e : env)
                setenv(e.first.c_str(), e.second.c_str(), 1);
            const int o = open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int r = open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int nul = open("/dev/null", O_RDONLY);
            dup2(nul, 0);
            dup2(o, 1);
            dup2(r, 2);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(program.c_str()));
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
    }
    ~Child()
    {
        if (m_pid > 0 && !m_done) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }

    // Exit status, or -1 when it had to be killed after timeoutMs.
    int wait(int timeoutMs = 10000)
    {
        if (m_done)
            return m_status;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int st = 0;
        while (true) {
            const pid_t r = waitpid(m_pid, &st, WNOHANG);
            if (r == m_pid)
                break;
            if (std::chrono::steady_clock::now() > until) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &st, 0);
                m_done = true;
                m_status = -1;
                return m_status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        m_done = true;
        m_status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return m_status;
    }

    void terminate()
    {
        if (!m_done)
            kill(m_pid, SIGTERM);
    }

    // Waits until standard error contains text; false after timeoutMs.
    bool waitForStderr(const std::string& text, int timeoutMs = 5000)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < until) {
            if (readFile(m_err).find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Waits until standard output holds at least n lines; false after timeoutMs.
    bool waitForLines(size_t n, int timeoutMs = 5000)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < until) {
            const std::string s = readFile(m_out);
            if (static_cast<size_t>(std::count(s.begin(), s.end(), '\n')) >= n)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::string out() const { return readFile(m_out); }
    std::string err() const { return readFile(m_err); }

private:
    static int& counter()
    {
        static int c = 0;
        return c;
    }
    std::string m_out, m_err;
    pid_t m_pid = -1;
    bool m_done = false;
    int m_status = -1;
};

// Runs to completion and returns the exit status.
inline int run(const std::string& program, const std::vector<std::string>& args,
               const std::string& dir, std::string* out = nullptr, std::string* err = nullptr,
               const std::vector<std::pair<std::string, std::string>>& env = {})
{
    Child c(program, args, dir, env);
    const int st = c.wait();
    if (out)
        *out = c.out();
    if (err)
        *err = c.err();
    return st;
}

} // namespace testutil

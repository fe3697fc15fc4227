// A child process for end-to-end tests: started with arguments and extra environment,
// its stdout and stderr captured through pipes, waited for with a bound so a hung
// program fails the test instead of hanging it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

class CChildProcess {
public:
    CChildProcess(const std::string& program, const std::vector<std::string>& args,
                  const std::map<std::string, std::string>& env) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            // The test runner may block signals; the program must start with a clean mask.
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ~CChildProcess() {
        if (m_pid > 0 && !m_exited) {
            kill(m_pid, SIGKILL);
            Wait();
        }
        if (m_out >= 0) close(m_out);
        if (m_err >= 0) close(m_err);
    }

    bool Started() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    void Signal(int sig) { kill(m_pid, sig); }

    // Reads output until stdout contains `text` or the bound passes.
    bool WaitForOutput(const std::string& text, std::chrono::seconds bound = std::chrono::seconds(30)) {
        auto until = std::chrono::steady_clock::now() + bound;
        while (m_stdout.find(text) == std::string::npos) {
            if (!Pump(until)) return m_stdout.find(text) != std::string::npos;
        }
        return true;
    }

    // Reads everything, then reaps the process; the exit code, or 128 + signal.
    int Wait(std::chrono::seconds bound = std::chrono::seconds(30)) {
        auto until = std::chrono::steady_clock::now() + bound;
        while (Pump(until)) {
        }
        int status = 0;
        if (!m_exited) {
            while (waitpid(m_pid, &status, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() > until) kill(m_pid, SIGKILL);
                pollfd none{};
                poll(&none, 0, 10);
            }
            m_exited = true;
            m_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return m_code;
    }

    const std::string& Stdout() const { return m_stdout; }
    const std::string& Stderr() const { return m_stderr; }

private:
    // One round of reading; false when both pipes are at end or the bound passed.
    bool Pump(std::chrono::steady_clock::time_point until) {
        pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
        int open = (m_out >= 0) + (m_err >= 0);
        if (open == 0) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0) return false;
        ReadFrom(fds[0], m_out, m_stdout);
        ReadFrom(fds[1], m_err, m_stderr);
        return true;
    }
    static void ReadFrom(const pollfd& p, int& fd, std::string& into) {
        if (fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) return;
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
        } else {
            close(fd);
            fd = -1;
        }
    }

    pid_t m_pid = -1;
    int m_out = -1, m_err = -1;
    bool m_exited = false;
    int m_code = -1;
    std::string m_stdout, m_stderr;
};

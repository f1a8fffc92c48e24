// What the terminal front end's tests share: starting velmo-cli (or another
// program of the build) as a process, a finished run, and reading what it
// wrote.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tempdir.h"

extern char** environ;

namespace velmo::test {

// A finished velmo-cli: its exit status (128 + the signal when one ended it)
// and everything it wrote.
struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string readText(const std::string& path) {
    const std::vector<uint8_t> bytes = readFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// A program to start: its arguments after its name, where its standard
// streams go, its folder and its environment.
struct CliStart {
    std::string program;
    std::vector<std::string> args;
    std::string outPath, errPath;
    std::string cwd;    // empty: this process's folder
    int stdinFd = -1;   // -1: /dev/null, no terminal
    std::string simDir;  // ZENTRO_SIM_DIR: the simulated clock of the test's own
    // The language is the test's, not the machine's: English (C.UTF-8 is on
    // every Debian system) unless `language` names one, given as LANGUAGE,
    // which gettext takes with it. False: the machine's locale is kept.
    bool testLocale = true;
    std::string language;
};

// Starts `s`; the process id, or -1 after a test failure saying why.
inline pid_t startProgram(const CliStart& s) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (s.stdinFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, s.stdinFd, 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, s.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, s.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!s.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, s.cwd.c_str());

    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string var = *e;
        const std::string name = var.substr(0, var.find('='));
        const bool locale = name == "LANGUAGE" || name == "LANG" || name.rfind("LC_", 0) == 0;
        if (name != "ZENTRO_SIM_DIR" && !(s.testLocale && locale)) env.push_back(var);
    }
    env.push_back("ZENTRO_SIM_DIR=" + s.simDir);
    if (s.testLocale) env.push_back("LANG=C.UTF-8");
    if (s.testLocale && !s.language.empty()) env.push_back("LANGUAGE=" + s.language);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::vector<std::string> argStrings{s.program};
    argStrings.insert(argStrings.end(), s.args.begin(), s.args.end());
    std::vector<char*> argv;
    for (std::string& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, s.program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(0, spawned) << s.program << ": " << std::strerror(spawned);
    return spawned == 0 ? pid : -1;
}

// Waits for `pid` and reads what it wrote.
inline CliRun waitProgram(pid_t pid, const std::string& outPath, const std::string& errPath) {
    CliRun r;
    if (pid <= 0) return r;
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {}
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = readText(outPath);
    r.err = readText(errPath);
    return r;
}

inline bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace velmo::test

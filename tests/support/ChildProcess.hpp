#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace velorinth::testing {

// A program the test runs, with its standard input, output and error on
// pipes. The test polls it from its own loop (the program may need the
// test's host to answer); it is killed if the test ends first.
class ChildProcess {
public:
    // `environment` entries ("NAME=value") are added to the test's own.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void write(const std::string& text);
    void closeInput();
    // Sends `number` (SIGTERM, say) unless the program has ended.
    void signal(int number);
    // Collects what the program wrote so far; true once it has exited and
    // all its output is in.
    bool poll();
    bool finished() const { return finished_; }
    int exitCode() const { return exitCode_; }
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int error_ = -1;
    bool finished_ = false;
    int exitCode_ = -1;
    std::string out_;
    std::string err_;
};

} // namespace velorinth::testing

// Helpers shared by the unit tests: running a program and capturing its
// output and exit status, and asking Python for an oracle's answer.
#pragma once
#include <string>
#include <vector>

namespace kel::test {

struct process_result {
    int exit_code = -1;   // the exit status, or 128 + signal when killed
    std::string out;
    std::string err;
};

// Runs `argv` with `env_overrides` ("NAME=value") added to the environment.
process_result run_process(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env_overrides = {},
                           const std::string& stdin_text = "");

// Runs python3 -c `code` and returns its standard output with the trailing
// newline removed.
std::string python(const std::string& code, const std::vector<std::string>& env_overrides = {});

}  // namespace kel::test

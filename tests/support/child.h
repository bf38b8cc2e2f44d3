// Runs a function or a program in a child process with a prepared environment, working
// directory and standard input, and hands back its standard output and exit status.
#pragma once

#include <functional>
#include <map>
#include <string>

namespace qvtest {

struct ChildSetup {
    // The child's whole environment: nothing of the parent's is inherited but the sanitizer
    // options.
    std::map<std::string, std::string> env;
    std::string cwd;         // empty: the parent's
    std::string stdin_data;  // standard input, byte for byte
    int uid = -1;            // when set, run as this user and group (the caller being root)
};

struct ChildResult {
    std::string out;      // everything written to standard output
    bool exited = false;  // ended by exit or return, not by a signal
    int status = -1;      // exit status when exited
};

// A child started and not yet waited for.
struct ChildHandle {
    int pid = -1;
    std::string in_path;
    std::string out_path;
};

// As run_child, but returns at once; finish_child waits for it and collects its result.
ChildHandle start_child(const ChildSetup &setup, const std::function<int()> &fn);
ChildResult finish_child(const ChildHandle &child);

// fn runs in a forked child; its return value becomes the child's exit status through
// exit(), so exit handlers run as they would in the real program.
ChildResult run_child(const ChildSetup &setup, const std::function<int()> &fn);

// Executes the program (no arguments) in a child process.
ChildResult run_program(const std::string &path, const ChildSetup &setup);

}  // namespace qvtest

// kvn's command line: what it asks for, read from the arguments alone (the program acts on it).
#pragma once

#include <string>

struct CommandLine {
    enum class Action { Run, Help, Version, List, Refuse };
    Action action = Action::Run;
    std::string folder;  // where KVN.ini and the skin are; empty: the current folder
    bool headless = false;
    std::string in, out;  // ports chosen here, as in the picker; empty: the stored ones
    std::string error;    // with Refuse: what was wrong, in one line
};

// Options as "--name VALUE" or "--name=VALUE". The first of --help, --version and --list wins
// over the others; a wrong argument refuses the whole line.
CommandLine ParseCommandLine(int argc, const char* const* argv);

// The text of --help.
extern const char* const kUsage;

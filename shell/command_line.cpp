#include "shell/command_line.h"

const char* const kUsage =
    "Usage: korvane [OPTION]...\n"
    "A MIDI thru box: passes what comes in at one MIDI port on to another, transposed and tuned.\n"
    "\n"
    "  --folder DIR  the folder holding KVN.ini and the skin (default: the current one);\n"
    "                one Korvane runs per folder\n"
    "  --in NAME     the input port, by the name the port list shows (saved in KVN.ini)\n"
    "  --out NAME    the output port, likewise\n"
    "  --headless    no window: messages go to stderr, one line each; a port that is not\n"
    "                there yet is linked when it appears; SIGTERM or SIGINT ends it in order\n"
    "  --list        print the input and output ports and exit\n"
    "  --help        print this and exit\n"
    "  --version     print the version and exit\n"
    "\n"
    "Exit status: 0 after an orderly end, 1 when Korvane cannot run, 2 for a wrong command line.\n";

namespace {

CommandLine Refused(std::string why) {
    CommandLine c;
    c.action = CommandLine::Action::Refuse;
    c.error = std::move(why);
    return c;
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine c;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        const size_t eq = arg.find('=');
        const bool inline_value = arg.rfind("--", 0) == 0 && eq != std::string::npos;
        if (inline_value) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        }
        std::string* target = arg == "--folder" ? &c.folder
                              : arg == "--in"   ? &c.in
                              : arg == "--out"  ? &c.out
                                                : nullptr;
        if (target != nullptr) {
            if (!inline_value) {
                if (i + 1 >= argc) return Refused("option " + arg + " needs a value");
                value = argv[++i];
            }
            if (value.empty()) return Refused("option " + arg + " needs a value");
            *target = value;
            continue;
        }
        const CommandLine::Action action = arg == "--help"      ? CommandLine::Action::Help
                                           : arg == "--version" ? CommandLine::Action::Version
                                           : arg == "--list"    ? CommandLine::Action::List
                                                                : CommandLine::Action::Run;
        if (inline_value && (action != CommandLine::Action::Run || arg == "--headless"))
            return Refused("option " + arg + " takes no value");
        if (action != CommandLine::Action::Run) {
            if (c.action == CommandLine::Action::Run) c.action = action;
        } else if (arg == "--headless") {
            c.headless = true;
        } else {
            return Refused(arg.rfind("-", 0) == 0 ? "unknown option " + std::string(argv[i])
                                                  : "unexpected argument " + arg);
        }
    }
    return c;
}

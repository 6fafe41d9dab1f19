// corvel-standin: serves a folder of titles the way Corvel Server does, for
// tests and the demo. See README.md beside this file.
#include "StandinServer.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

static void usage() {
    std::fprintf(stderr, "usage: corvel-standin FOLDER [--port N] [--bind ADDRESS]\n"
                         "  --port 0 (the default) picks a free port; the bound port is printed.\n");
}

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::string folder, bind = "127.0.0.1";
    int port = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--port" || arg == "--bind") && i + 1 < argc) {
            std::string value = argv[++i];
            if (arg == "--bind") {
                bind = value;
            } else {
                char* end = nullptr;
                long n = std::strtol(value.c_str(), &end, 10);
                if (value.empty() || *end || n < 0 || n > 65535) {
                    usage();
                    return 2;
                }
                port = static_cast<int>(n);
            }
        } else if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        } else if (folder.empty() && arg.rfind("--", 0) != 0) {
            folder = arg;
        } else {
            usage();
            return 2;
        }
    }
    if (folder.empty() || !std::filesystem::is_directory(folder)) {
        usage();
        return 2;
    }
    standin::StandinServer server(folder);
    int bound = server.listen(bind, port);
    if (bound < 0) {
        std::fprintf(stderr, "standin: cannot listen on %s:%d\n", bind.c_str(), port);
        return 2;
    }
    std::printf("standin: listening on %s:%d\n", bind.c_str(), bound);
    std::fflush(stdout);
    server.serve();
    return 1;
}

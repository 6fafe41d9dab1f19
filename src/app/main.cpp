#include "app/CommandLine.h"
#include "app/DebandCheck.h"
#include "app/ParentWatch.h"
#include "app/Probe.h"
#include "app/StartupInquiry.h"
#include "common/Heap.h"
#include "common/Log.h"
#include "http/HTTPServer.h"
#include "processing/ShaderDirectory.h"
#include "service/Service.h"
#include "tools/Bench.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace corvel;

namespace {

void parentExited(pid_t pid) {
    logf("main: parent process " + std::to_string(pid) + " exited, stopping enhancer");
    std::_Exit(0);
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

int main(int argc, char** argv) {
    // Writes to a client that has gone must fail with EPIPE, not end us.
    std::signal(SIGPIPE, SIG_IGN);
    boundHeapArenas(); // before any thread starts: an idle service returns nearer its fresh size
    mapLargeBlocks();  // freed picture and encoder buffers go back at once, not into the arenas

    std::vector<std::string> words(argv + 1, argv + argc);
    CommandLine line = parseCommandLine(words);
    switch (line.mode) {
    case CommandLine::Mode::Probe: return probe(machineMeasures());
    case CommandLine::Mode::Bench: return tools::bench(std::vector<std::string>(words.begin() + 1, words.end()));
    case CommandLine::Mode::Deband: return debandCheck(line.debandWords);
    case CommandLine::Mode::Serve: break;
    }

    // The parent is held now and watched once the start-up child below has
    // been made: no thread of ours may exist while it forks.
    ParentHandle parent;
    if (line.parentPid != 0) {
        if (!processExists(line.parentPid)) {
            logf("main: parent process " + std::to_string(line.parentPid) +
                 " is already gone, exiting");
            return 0;
        }
        parent = holdParent(line.parentPid);
    }

    ServiceOptions options = optionsFromEnvironment(line.companion);
    // The pick (for "auto") and the device question of the summary line are
    // asked in a child: a title without stages then never maps the compute
    // runtime here.
    const bool pick = options.upscaler == "auto";
    const auto begin = std::chrono::steady_clock::now();
    const bool interpolation = askComputeApart(options, pick, [](ServiceOptions& o) {
        startupPick(o, machineMeasures());
    });
    if (pick) {
        // The server listens only after this; its cost is logged so that a
        // slow start can be traced to it.
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - begin)
                            .count();
        logf("main: the upscaler pick took " + std::to_string(ms) + " ms");
    }
    // A parent that ended during the questions stops the service as soon as
    // it is watched.
    if (parent.pid != 0 && !watchParent(parent, parentExited)) {
        logf("main: cannot watch parent process " + std::to_string(parent.pid));
    }

    auto shaders = shaderDirectory();
    logf(summaryLine(options, chipName(), interpolation, shaders.value_or("")));

    static Service service(options);
    static HTTPServer server;
    std::string portText = std::to_string(line.port);
    bool started = line.port >= 0 && line.port <= 65535 &&
                   server.start(line.bind, static_cast<int>(line.port),
                                [](const HTTPRequest& request) {
                                    const auto received = std::chrono::steady_clock::now();
                                    HTTPResponse response = service.handle(request);
                                    if (!endsWith(request.path, "/status")) {
                                        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                                      std::chrono::steady_clock::now() - received)
                                                      .count();
                                        logf("http: " + request.peer + " " + request.method + " " +
                                             request.path + " -> " + std::to_string(response.status) +
                                             ", " + std::to_string(response.body.size()) +
                                             " bytes in " + std::to_string(ms) + " ms");
                                    }
                                    return response;
                                });
    if (!started) {
        std::cout << "Port " << portText << " on " << line.bind << " is not available" << std::endl;
        logf("main: port " + portText + " on " + line.bind + " is not available");
        std::_Exit(2);
    }
    logf("main: serving http://" + line.bind + ":" + portText +
         "/v1/enhanced/{item}/index.m3u8?fi=0|1&up=0|1|<method>");
    std::cout << "Corvel live enhancer: http://" << line.bind << ":" << portText
              << "/v1/enhanced/{item}/index.m3u8?fi=1 (status: /v1/enhanced/status)" << std::endl;
    std::fflush(stdout);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(60));
}

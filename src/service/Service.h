#pragma once

#include "http/HTTPMessage.h"
#include "service/ServiceOptions.h"

namespace corvel {

// The enhancement service: everything the HTTP server's handler reaches.
// For now it knows one route, the status poll; playlists, segments and the
// run pipeline plug in behind `handle` without changing its callers.
class Service {
public:
    explicit Service(ServiceOptions options);
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Answers one request; called concurrently from the connection threads.
    HTTPResponse handle(const HTTPRequest& request);

    const ServiceOptions& options() const { return options_; }

private:
    HTTPResponse status();

    const ServiceOptions options_;
};

} // namespace corvel

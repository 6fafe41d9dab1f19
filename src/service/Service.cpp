#include "service/Service.h"

namespace corvel {

Service::Service(ServiceOptions options) : options_(std::move(options)) {}

HTTPResponse Service::handle(const HTTPRequest& request) {
    if (request.path == "/v1/enhanced/status") return status();
    return HTTPResponse::text(404, "not found\n");
}

HTTPResponse Service::status() { return HTTPResponse::text(200, "{}\n", "application/json"); }

} // namespace corvel

#pragma once

#include <stdexcept>
#include <string>

namespace corvel {

// The program's one error type. `description` is a complete sentence meant
// for the user; it is what reaches log lines, run errors and HTTP error bodies.
class EnhanceError : public std::runtime_error {
public:
    explicit EnhanceError(std::string description);
    const std::string& description() const { return description_; }

private:
    std::string description_;
};

} // namespace corvel

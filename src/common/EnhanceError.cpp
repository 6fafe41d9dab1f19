#include "common/EnhanceError.h"

#include <utility>

namespace corvel {

EnhanceError::EnhanceError(std::string description)
    : std::runtime_error(description), description_(std::move(description)) {}

} // namespace corvel

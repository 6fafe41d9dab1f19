#pragma once

#include <optional>
#include <string>

namespace corvel {

// The directory that holds the hook shaders and network weights, or none.
// First hit wins: the override, CORVEL_SHADER_DIR (when set and not empty,
// returned without looking inside), then the neighbourhood of the executable.
std::optional<std::string> shaderDirectory();

// A process-wide override consulted first; nothing in the service sets it.
void setShaderDirectoryOverride(std::optional<std::string> directory);

// The neighbourhood search alone, from the directory `executableDir` holding
// the program: D/../share/corvel-live-enhancer/shaders, D/shaders, then
// "shaders" in each of the six directories above D. The first that holds the
// marker file is returned, normalised.
std::optional<std::string> findShaderDirectoryNear(const std::string& executableDir);

} // namespace corvel

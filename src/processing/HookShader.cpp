#include "processing/HookShader.h"

#include "common/EnhanceError.h"
#include "processing/HookDescription.h"
#include "processing/KernelSources.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace corvel {

namespace {

// A row of 64 work items keeps PoCL's vectoriser on neighbouring texels.
constexpr size_t kGroupW = 64;

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return text.str();
}

bool parsesAsNumber(const std::string& token, double& value) {
    if (token.empty()) return false;
    const char* begin = token.c_str();
    char* end = nullptr;
    errno = 0;
    value = std::strtod(begin, &end);
    return end == begin + token.size();
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> split(const std::string& text, char at) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(at, start);
        if (end == std::string::npos) end = text.size();
        if (end > start) pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

compute::Mem buffer(cl_context context, size_t bytes) {
    cl_int status = CL_SUCCESS;
    compute::Mem mem(clCreateBuffer(context, CL_MEM_READ_WRITE, bytes, nullptr, &status));
    if (status != CL_SUCCESS) return {};
    return mem;
}

} // namespace

double HookShader::evaluate(const std::string& expression, const HookSizes& sizes) {
    std::vector<double> stack;
    auto pop = [&stack]() {
        if (stack.empty()) return 0.0;
        const double top = stack.back();
        stack.pop_back();
        return top;
    };
    for (const std::string& token : split(expression, ' ')) {
        double number = 0;
        if (parsesAsNumber(token, number)) {
            stack.push_back(number);
        } else if (endsWith(token, ".w") || endsWith(token, ".h") || endsWith(token, ".width") ||
                   endsWith(token, ".height")) {
            // A reference with nothing before its first dot (".w") names no
            // texture and measures 0, like an unknown name.
            const std::vector<std::string> pieces = split(token, '.');
            double size = 0;
            if (token.front() != '.' && pieces.size() >= 2) {
                auto it = sizes.find(pieces[0]);
                if (it != sizes.end())
                    size = pieces[1].front() == 'w' ? it->second.first : it->second.second;
            }
            stack.push_back(size);
        } else if (token == "!") {
            stack.push_back(pop() == 0.0 ? 1.0 : 0.0);
        } else {
            const double b = pop();
            const double a = pop();
            double result = 0;
            if (token == "+") result = a + b;
            else if (token == "-") result = a - b;
            else if (token == "*") result = a * b;
            else if (token == "/") result = b == 0.0 ? 0.0 : a / b;
            else if (token == ">") result = a > b ? 1.0 : 0.0;
            else if (token == "<") result = a < b ? 1.0 : 0.0;
            else if (token == "=") result = a == b ? 1.0 : 0.0;
            stack.push_back(result);
        }
    }
    return stack.empty() ? 0.0 : stack.back();
}

HookShader::HookShader(compute::ComputeQueue& queue, const std::string& directory,
                       const std::string& name)
    : queue_(queue), name_(name) {
    compute::ComputeContext& context = queue.context();
    const std::string base = directory + "/" + name;
    const std::string missing = "No shader " + name + " in " + directory + ".";

    // 1. and 2. The description, its licence and hooked texture.
    const std::optional<std::string> text = readFile(base + ".json");
    if (!text) throw EnhanceError(missing);
    const std::optional<HookDescription> description = HookDescription::parse(*text);
    if (!description) throw EnhanceError(missing);
    license_ = description->license;
    hooked_ = description->hooked;

    // 3. and 4. The kernels' source, built once with fast math.
    const std::optional<std::string> source = readFile(base + ".cl");
    if (!source)
        throw EnhanceError("Could not read " + base + ".cl: " + std::strerror(errno) + ".");
    const char* sources[] = {kernels::hookheader, source->c_str()};
    context.buildApartFirst("shader " + name, {sources[0], sources[1]}, "-cl-fast-relaxed-math");
    cl_int status = CL_SUCCESS;
    program_.reset(clCreateProgramWithSource(context.context(), 2, sources, nullptr, &status));
    compute::check(status, "clCreateProgramWithSource");
    cl_device_id device = context.device();
    if (clBuildProgram(program_.get(), 1, &device, "-cl-fast-relaxed-math", nullptr, nullptr) !=
        CL_SUCCESS) {
        size_t size = 0;
        clGetProgramBuildInfo(program_.get(), device, CL_PROGRAM_BUILD_LOG, 0, nullptr, &size);
        std::string log(size, '\0');
        clGetProgramBuildInfo(program_.get(), device, CL_PROGRAM_BUILD_LOG, size, log.data(),
                              nullptr);
        while (!log.empty() && (log.back() == '\0' || log.back() == '\n')) log.pop_back();
        throw EnhanceError("Shader " + name + " did not compile: " + log);
    }

    // 5. The passes.
    for (const HookDescription::Pass& keys : description->passes) {
        Pass pass;
        if (keys.kernel) {
            cl_int made = CL_SUCCESS;
            pass.kernel.reset(clCreateKernel(program_.get(), keys.kernel->c_str(), &made));
            if (made != CL_SUCCESS) pass.kernel.reset();
        }
        if (!pass.kernel) throw EnhanceError("Shader " + name + ": a pass has no kernel.");
        // Four arguments per texture, the target first: a kernel that
        // takes another count could never be run, so say so now rather
        // than fail every picture.
        cl_uint arguments = 0;
        compute::check(clGetKernelInfo(pass.kernel.get(), CL_KERNEL_NUM_ARGS, sizeof(arguments),
                                       &arguments, nullptr),
                       "clGetKernelInfo");
        const size_t given = 4 * (1 + keys.binds.size());
        if (arguments != given)
            throw EnhanceError("Shader " + name + ": kernel " + *keys.kernel + " takes " +
                               std::to_string(arguments) + " arguments; its pass gives " +
                               std::to_string(given) + ".");
        pass.binds = keys.binds;
        pass.save = keys.save;
        pass.width = keys.width;
        pass.height = keys.height;
        pass.when = keys.when;
        pass.components = keys.components;
        if (keys.compute) {
            size_t most = 0;
            compute::check(clGetKernelWorkGroupInfo(pass.kernel.get(), device,
                                                    CL_KERNEL_WORK_GROUP_SIZE, sizeof(most), &most,
                                                    nullptr),
                           "clGetKernelWorkGroupInfo");
            const size_t asked = size_t((*keys.compute)[2]) * size_t((*keys.compute)[3]);
            if (asked > most)
                throw EnhanceError("Shader " + name + ": a pass asks for " + std::to_string(asked) +
                                   " threads per group; the device allows " +
                                   std::to_string(most) + ".");
            pass.compute = keys.compute;
        }
        passes_.push_back(std::move(pass));
    }

    // 6. Constant textures: four half floats a texel.
    for (const HookDescription::Texture& entry : description->textures) {
        const std::string cannot = "Shader " + name + ": texture " + entry.name + ".";
        if (entry.width < 1 || entry.height < 1 || entry.width > kMaxSide || entry.height > kMaxSide)
            throw EnhanceError(cannot);
        const size_t need = size_t(entry.width) * size_t(entry.height) * 8;
        // Short data would leave part of the texture undefined, and a shader
        // reading it would give a wrong picture without a word: refuse the
        // shader instead.
        if (entry.data.size() < need)
            throw EnhanceError("Shader " + name + ": texture " + entry.name + " holds " +
                               std::to_string(entry.data.size()) + " bytes; " +
                               std::to_string(entry.width) + "x" + std::to_string(entry.height) +
                               " needs " + std::to_string(need) + ".");
        HookTexture texture;
        texture.mem = buffer(context.context(), need);
        if (!texture.mem) throw EnhanceError(cannot);
        texture.width = static_cast<int>(entry.width);
        texture.height = static_cast<int>(entry.height);
        texture.components = 4;
        queue_.write(texture.mem.get(), 0, need, entry.data.data());
        own_[entry.name] = std::move(texture); // a later entry replaces an earlier one
    }

    cl_program hook = context.program("hook", {kernels::common, kernels::hook});
    import_ = context.kernel(hook, "hookImport");
    unbound_ = buffer(context.context(), 16);
    if (!unbound_) throw EnhanceError("Shader " + name + ": texture (none).");
}

const HookTexture* HookShader::scratch(const std::string& key) const {
    auto it = scratch_.find(key);
    return it == scratch_.end() ? nullptr : &it->second;
}

HookTexture& HookShader::target(const std::string& key, int width, int height, int components) {
    HookTexture& kept = scratch_[key];
    if (kept.mem && kept.width == width && kept.height == height &&
        kept.components == components)
        return kept;
    kept.mem.reset();
    kept.mem = buffer(queue_.context().context(),
                      size_t(width) * size_t(height) * size_t(components) * 2);
    if (!kept.mem) {
        scratch_.erase(key);
        throw EnhanceError("Shader " + name_ + ": texture " + key + " of " +
                           sizeText(width, height) + " could not be made.");
    }
    kept.width = width;
    kept.height = height;
    kept.components = components;
    return kept;
}

HookShader::Encoded HookShader::encode(const DevicePlanes& planes, int lumaWidth, int lumaHeight,
                                       std::pair<int, int> output) {
    Encoded encoded;
    // The luma plane as the first hooked texture.
    if (!luma_.mem || luma_.width != lumaWidth || luma_.height != lumaHeight) {
        luma_.mem = buffer(queue_.context().context(), size_t(lumaWidth) * lumaHeight * 2);
        if (!luma_.mem)
            throw EnhanceError("Shader " + name_ + ": texture " + hooked_ + " of " +
                               sizeText(lumaWidth, lumaHeight) + " could not be made.");
        luma_.width = lumaWidth;
        luma_.height = lumaHeight;
        luma_.components = 1;
    }
    compute::setArgs(import_.get(), planes.mem, planes.lumaOffset, planes.stride,
                     cl_int(lumaWidth), cl_int(lumaHeight), luma_.mem.get());
    encoded.first = queue_.run(import_.get(), size_t(lumaWidth), size_t(lumaHeight), kGroupW, 1);

    const HookTexture* current = &luma_;
    std::map<std::string, const HookTexture*> saved;
    compute::Event last;
    for (size_t i = 0; i < passes_.size(); ++i) {
        Pass& pass = passes_[i];
        HookSizes sizes;
        sizes["HOOKED"] = {current->width, current->height};
        sizes[hooked_] = {current->width, current->height};
        sizes["OUTPUT"] = output;
        for (const auto& [key, texture] : saved) sizes[key] = {texture->width, texture->height};

        if (pass.when && evaluate(*pass.when, sizes) == 0.0) continue;
        // Sizes are truncated toward zero; a size that is not finite, below
        // one texel or above kMaxSide fails the picture rather than making a
        // texture of undefined size.
        const double w = pass.width ? std::trunc(evaluate(*pass.width, sizes)) : current->width;
        const double h = pass.height ? std::trunc(evaluate(*pass.height, sizes)) : current->height;
        if (!std::isfinite(w) || !std::isfinite(h) || w < 1 || h < 1 || w > kMaxSide ||
            h > kMaxSide) {
            // (printed from the double: huge values do not fit an integer)
            auto shown = [](double v) {
                if (!std::isfinite(v)) return std::string("?");
                char text[64];
                std::snprintf(text, sizeof(text), "%.0f", v);
                return std::string(text);
            };
            throw EnhanceError("Shader " + name_ + ": pass " + std::to_string(i) + " would be " +
                               shown(w) + "x" + shown(h) + ".");
        }
        const int width = static_cast<int>(w);
        const int height = static_cast<int>(h);
        const std::string key = pass.save ? *pass.save : "HOOKED" + std::to_string(i);
        HookTexture& out = target(key, width, height, pass.components);

        cl_kernel kernel = pass.kernel.get();
        compute::setArgs(kernel, out.mem.get(), cl_int(out.width), cl_int(out.height),
                         cl_int(out.components));
        cl_uint index = 4;
        for (const std::string& bind : pass.binds) {
            const HookTexture* texture = nullptr;
            if (bind == "HOOKED" || bind == hooked_) {
                texture = current;
            } else if (auto s = saved.find(bind); s != saved.end()) {
                texture = s->second;
            } else if (auto o = own_.find(bind); o != own_.end()) {
                texture = &o->second;
            }
            cl_mem mem = texture ? texture->mem.get() : unbound_.get();
            const cl_int tw = texture ? texture->width : 0;
            const cl_int th = texture ? texture->height : 0;
            const cl_int tc = texture ? texture->components : 4;
            compute::check(clSetKernelArg(kernel, index++, sizeof(cl_mem), &mem), "clSetKernelArg");
            compute::check(clSetKernelArg(kernel, index++, sizeof(cl_int), &tw), "clSetKernelArg");
            compute::check(clSetKernelArg(kernel, index++, sizeof(cl_int), &th), "clSetKernelArg");
            compute::check(clSetKernelArg(kernel, index++, sizeof(cl_int), &tc), "clSetKernelArg");
        }
        if (pass.compute) {
            const auto [bw, bh, tw, th] = *pass.compute;
            const size_t groupsX = (size_t(width) + bw - 1) / bw;
            const size_t groupsY = (size_t(height) + bh - 1) / bh;
            last = queue_.run(kernel, groupsX * tw, groupsY * th, size_t(tw), size_t(th));
        } else {
            last = queue_.run(kernel, size_t(width), size_t(height), kGroupW, 1);
        }
        if (pass.save)
            saved[*pass.save] = &out;
        else
            current = &out;
    }
    encoded.result = current;
    if (!last) {
        compute::check(clRetainEvent(encoded.first.get()), "clRetainEvent");
        last.reset(encoded.first.get());
    }
    encoded.last = std::move(last);
    return encoded;
}

} // namespace corvel

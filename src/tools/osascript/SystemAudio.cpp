#include "SystemAudio.h"

#include <climits>
#include <dlfcn.h>
#include <unistd.h>

namespace {

constexpr char kModuleName[] = "vantor-osascript-audio.so";

std::string besideThisProgram(const std::string& name) {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return name;
    std::string self(path, static_cast<std::size_t>(length));
    return self.substr(0, self.rfind('/') + 1) + name;
}

} // namespace

std::string runAudioVerb(script::SystemVerb verb) {
    const std::string module = besideThisProgram(kModuleName);
    void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return std::string("Cannot load the audio controls: ") + ::dlerror();
    using Entry = bool (*)(int, char*, unsigned long);
    const auto entry = reinterpret_cast<Entry>(::dlsym(handle, "vantorRunAudioVerb"));
    if (!entry)
        return std::string("Cannot load the audio controls: ") + ::dlerror();
    char reason[512] = {};
    return entry(static_cast<int>(verb), reason, sizeof reason) ? std::string() : reason;
}

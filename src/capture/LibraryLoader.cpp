#include "capture/LibraryLoader.h"

#include <algorithm>
#include <mutex>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace stemora {

namespace {

struct LoadedLibrary {
    std::string Name;  // lower-cased
    void* Handle;
};

struct LibraryRegistry {
    std::mutex Mutex;
    std::vector<LoadedLibrary> Libraries;
};

// Created on first use and never destroyed: the libraries stay loaded until the process ends,
// and a late caller during static destruction still finds the registry.
LibraryRegistry& LoadedLibraries() {
    static auto* registry = new LibraryRegistry;
    return *registry;
}

std::string toLower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return out;
}

void* loadByName(const std::string& name) noexcept {
#ifdef _WIN32
    return reinterpret_cast<void*>(LoadLibraryA(name.c_str()));
#else
    return dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
}

void* findEntry(void* handle, const std::string& entry) noexcept {
#ifdef _WIN32
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), entry.c_str()));
#else
    return dlsym(handle, entry.c_str());
#endif
}

[[noreturn]] void raiseNotLoaded(std::string_view libraryName) {
    throw Exception(FormatText(kMsgNotLoaded, libraryName));
}

}  // namespace

void* GetLibraryProc(std::string_view libraryName, std::string_view entryName) {
    // An empty name would give the running program itself, and an embedded NUL a different
    // file than the one named.
    if (libraryName.empty() || libraryName.find('\0') != std::string_view::npos) {
        raiseNotLoaded(libraryName);
    }
    LibraryRegistry& registry = LoadedLibraries();
    std::lock_guard lock(registry.Mutex);
    const std::string key = toLower(libraryName);
    void* handle = nullptr;
    const auto found = std::find_if(registry.Libraries.begin(), registry.Libraries.end(),
                                    [&key](const LoadedLibrary& l) { return l.Name == key; });
    if (found != registry.Libraries.end()) {
        handle = found->Handle;
    } else {
        handle = loadByName(std::string(libraryName));
        if (handle == nullptr) {
            raiseNotLoaded(libraryName);
        }
        registry.Libraries.push_back({key, handle});
    }
    void* entry = entryName.empty() || entryName.find('\0') != std::string_view::npos
                      ? nullptr
                      : findEntry(handle, std::string(entryName));
    if (entry == nullptr) {
        raiseNotLoaded(libraryName);
    }
    return entry;
}

std::vector<std::string> LoadedLibraryNames() {
    LibraryRegistry& registry = LoadedLibraries();
    std::lock_guard lock(registry.Mutex);
    std::vector<std::string> names;
    names.reserve(registry.Libraries.size());
    for (const LoadedLibrary& library : registry.Libraries) {
        names.push_back(library.Name);
    }
    return names;
}

}  // namespace stemora

// Host programs the end-to-end tests run beside Wine (wixl builds installer packages, msiinfo reads them),
// and the Windows build's stand-ins for an earlier release's Tavrin.exe.
#pragma once

#include "WineHarness.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

#ifndef TDU_DEFAULT_CLIENT_DIR
#define TDU_DEFAULT_CLIENT_DIR ""
#endif

namespace tdu::e2e {

inline std::string readHostFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + file.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs a host program to its end; its standard output. Its output files are named after `io` (a path
// prefix in a folder of the caller's). Throws with the program's standard error when it fails.
inline std::string runHostTool(const std::vector<std::string>& argv, const std::filesystem::path& io) {
    constexpr std::chrono::seconds kHostToolLimit{60};
    const std::filesystem::path out = io.string() + ".out";
    const std::filesystem::path err = io.string() + ".err";
    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        environment.emplace_back(*variable);
    }
    HostProcess process(argv, environment, out, err);
    if (process.wait(kHostToolLimit) != 0) {
        throw std::runtime_error(argv.front() + " failed: " + readHostFile(err));
    }
    return readHostFile(out);
}

// The stand-in whose version resource yields this label ("9.1.15").
inline std::filesystem::path clientStandIn(const std::string& label) {
    const char* dir = std::getenv("TDU_E2E_CLIENT");
    const std::filesystem::path clients = dir != nullptr && *dir != '\0' ? dir : TDU_DEFAULT_CLIENT_DIR;
    return clients / ("tavrin-" + label + ".exe");
}

} // namespace tdu::e2e

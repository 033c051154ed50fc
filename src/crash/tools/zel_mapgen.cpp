// zel_mapgen: the build step that gives a linked program its debug map.
//
//   zel_mapgen PROGRAM OBJCOPY
//
// Reads PROGRAM's symbols and DWARF, writes the text map beside it
// (PROGRAM.map) and puts the encoded map into PROGRAM as a section that is
// never loaded, so it survives stripping the debug sections. The output
// depends only on the input: the same program gives the same bytes.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "crash/zel_mapfile.h"

extern char** environ;

namespace {

bool WriteAll(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
    return static_cast<bool>(f.flush());
}

int Run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: zel_mapgen PROGRAM OBJCOPY\n");
        return 2;
    }
    auto started = std::chrono::steady_clock::now();
    std::string program = argv[1], objcopy = argv[2];
    zelMapFile::TModuleBounds bounds;
    if (!zelMapFile::ElfBounds(program, bounds)) {
        std::fprintf(stderr, "zel_mapgen: %s is no program with code\n", program.c_str());
        return 1;
    }
    zelMapFile::TMapFile map(bounds, program);
    if (!zelMapFile::LoadFromElf(map, program, 0)) {
        std::fprintf(stderr, "zel_mapgen: %s has no function symbols\n", program.c_str());
        return 1;
    }
    std::string container = zelMapFile::EncodeMap(map);
    std::string stem = program;
    std::size_t slash = stem.rfind('/'), dot = stem.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) stem.resize(dot);
    std::string section = program + ".zelsection";
    if (!WriteAll(stem + ".map", zelMapFile::MapText(map, program)) || !WriteAll(section, container)) {
        std::fprintf(stderr, "zel_mapgen: cannot write beside %s\n", program.c_str());
        return 1;
    }
    std::string name = zelMapFile::kSectionName;
    int rc = Run({objcopy, "--remove-section=" + name, "--add-section", name + "=" + section,
                  "--set-section-flags", name + "=readonly", program});
    std::remove(section.c_str());
    if (rc != 0) {
        std::fprintf(stderr, "zel_mapgen: objcopy failed on %s\n", program.c_str());
        return 1;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("zel_mapgen: %s: %zu publics, %zu lines, %zu segments, section %zu bytes, %.2f s\n", program.c_str(),
                map.Publics.size(), map.Lines.size(), map.Segments.size(), container.size(), seconds);
    return 0;
}

// spotlight_bench --server EXECUTABLE --data FOLDER [--reps N]
// Times the server's Spotlight search over a one-million-name plocate index against plocate alone
// on the same index. The figure is a ratio to that baseline, measured in the same run with the two
// alternating, because the machine is shared and noisy.
#include "bench_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using bench::Clock;
using bench::median;
using bench::msSince;

namespace {

constexpr int kFolders = 1000;
constexpr int kFilesPerFolder = 1000;
// The random words never hold k, q, x, y or z, so the planted words match only where planted.
constexpr const char* kAlphabet = "abcdefghijlmnoprstuvw";
constexpr const char* kFewWord = "quokka";      // planted in kFewHits names
constexpr const char* kManyWord = "xylophone";  // planted in every 100th name
constexpr int64_t kFewHits = 7, kManyHits = 10'000;
constexpr const char* kTreeVersion = "spotlight-tree-v1";

const bench::RequestWriter request{"bench", "spotlight_bench", "benchview"};

// A fixed-seed LCG per folder, so the tree is the same whatever the number of threads.
struct Lcg {
    uint64_t state;
    uint32_t next(uint32_t bound) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(state >> 33) % bound;
    }
    std::string word() {
        std::string text;
        for (uint32_t n = 3 + next(6); n > 0; --n) text.push_back(kAlphabet[next(21)]);
        return text;
    }
};

std::string fileName(Lcg& random, int64_t global, int file) {
    static const char* const kEndings[] = {".txt", ".pdf", ".jpg", ".doc", ".mp3", ".c", ""};
    std::string name = random.word() + (random.next(2) ? "_" : " ") + random.word();
    if (global % 100 == 37) name.append("-").append(kManyWord);
    else if (global % 142857 == 5) name.insert(0, std::string(kFewWord) + "_");  // global 5, 142862, ...
    return name + "-" + std::to_string(file) + kEndings[random.next(7)];
}

// Runs a program without a shell, handing what it writes to standard output to onOutput as it
// comes. Its exit status, or -1.
int run(std::vector<std::string> arguments, const std::function<void(const char*, size_t)>& onOutput) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    char buffer[1 << 16];
    if (spawned == 0)
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) onOutput(buffer, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    if (spawned != 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// plocate alone, as the server runs it, its output read to the end; the number of hits.
int64_t plocateAlone(const std::string& index, const std::string& text) {
    int64_t hits = 0;
    const int status = run({"plocate", "--basename", "--ignore-case", "--null", "-d", index, "--", "*" + text + "*"},
                           [&hits](const char* bytes, size_t n) { hits += std::count(bytes, bytes + n, '\0'); });
    if (status < 0) throw std::runtime_error("plocate cannot be run");
    return hits;
}

// The tree of empty files and its index, made once; an interrupted run starts the tree afresh.
std::string prepareTree(const fs::path& data) {
    const fs::path tree = data / "spotlight-tree", marker = data / (std::string(kTreeVersion) + ".complete");
    const fs::path index = data / "spotlight-index.db";
    if (!fs::exists(marker)) {
        std::fprintf(stderr, "making %d x %d files in %s (once; this takes a while)\n", kFolders, kFilesPerFolder,
                     tree.c_str());
        fs::remove_all(tree);
        fs::remove(index);
        fs::create_directories(tree);
        std::vector<std::thread> workers;
        const unsigned threads = std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
        for (unsigned t = 0; t < threads; ++t)
            workers.emplace_back([&, t] {
                for (int folder = static_cast<int>(t); folder < kFolders; folder += static_cast<int>(threads)) {
                    char folderName[16];
                    std::snprintf(folderName, sizeof folderName, "d%03d", folder);
                    const fs::path path = tree / folderName;
                    fs::create_directory(path);
                    const int dir = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                    Lcg random{0x5EED0000ULL + static_cast<uint64_t>(folder)};
                    for (int file = 0; file < kFilesPerFolder; ++file) {
                        const std::string name = fileName(random, int64_t{folder} * kFilesPerFolder + file, file);
                        const int fd = ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                        if (fd >= 0) ::close(fd);
                    }
                    ::close(dir);
                }
            });
        for (auto& worker : workers) worker.join();
        std::ofstream(marker) << kTreeVersion << "\n";
    }
    if (!fs::exists(index)) {
        std::fprintf(stderr, "indexing: updatedb -U %s -o %s -l no\n", tree.c_str(), index.c_str());
        if (run({"updatedb", "-U", tree.string(), "-o", index.string(), "-l", "no"}, [](const char*, size_t) {}) != 0)
            throw std::runtime_error("updatedb failed");
    }
    return index.string();
}

}  // namespace

int main(int argc, char** argv) {
    std::string executable, data;
    int reps = 15;
    bool pause = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--pause") pause = true;  // waits for Enter before timing, e.g. to attach perf
        else if (i + 1 < argc && option == "--server") executable = argv[++i];
        else if (i + 1 < argc && option == "--data") data = argv[++i];
        else if (i + 1 < argc && option == "--reps") reps = std::max(1, std::atoi(argv[++i]));
    }
    if (executable.empty() || data.empty()) {
        std::fprintf(stderr, "usage: %s --server EXECUTABLE --data FOLDER [--reps N] [--pause]\n", argv[0]);
        return 2;
    }
    try {
        fs::create_directories(data);
        const std::string index = prepareTree(fs::absolute(data));
        bench::Server server({.executable = executable,
                              .folderName = "spotlight-bench",
                              .settings = {{"use_spotlight", "true"}},
                              .environment = {{"QUORVANTEL_LOCATE_DB", index}},
                              // the default level offers Spotlight
                              .removedEnvironment = {"QUORVANTEL_SYSTEM_VERSION"}});
        if (server.waitForPong(request("vaxo-ping")).find("+spotlight") == std::string::npos)
            throw std::runtime_error("the server's Spotlight switch is off after start-up");
        if (pause) {
            std::fprintf(stderr, "server pid %d, port %d; press Enter to start timing\n",
                         static_cast<int>(server.pid()), server.port());
            std::getchar();
        }
        struct Row {
            std::string label;
            double server, alone;
        };
        std::vector<Row> rows;
        bench::Connection client(server.port());
        const struct {
            const char* text;
            int64_t planted;
        } words[] = {{kFewWord, kFewHits}, {kManyWord, kManyHits}};
        for (const auto& [text, planted] : words) {
            const std::string search = request("vaxo-search", {}, {}, text);
            const int64_t served = bench::recordCount(client.search(search));
            const int64_t found = plocateAlone(index, text);
            std::printf("\"%s\": planted %lld, plocate hits %lld, records %lld%s\n", text,
                        static_cast<long long>(planted), static_cast<long long>(found), static_cast<long long>(served),
                        served == found && found == planted ? "" : "  <-- MISMATCH");
            std::vector<double> withServer, alone;
            for (int i = 0; i < reps; ++i) {
                auto start = Clock::now();
                client.search(search);
                withServer.push_back(msSince(start));
                start = Clock::now();
                plocateAlone(index, text);
                alone.push_back(msSince(start));
            }
            rows.push_back({std::string("\"") + text + "\", " + std::to_string(found) + " hits", median(withServer),
                            median(alone)});
        }
        std::printf("\n%-28s %12s %12s %7s %8s  %s\n", "text", "server", "plocate", "ratio", "target", "result");
        for (const Row& row : rows) {
            const double ratio = row.server / row.alone;
            std::printf("%-28s %9.2f ms %9.2f ms %7.3f %8s  %s\n", row.label.c_str(), row.server, row.alone, ratio,
                        "<= 1.30", ratio <= 1.30 ? "met" : "MISSED");
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "spotlight_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}

#include "demo_runner.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace e2e {
namespace fs = std::filesystem;

temp_dir::temp_dir() {
    std::string pattern = (fs::temp_directory_path() / "zr-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string run_result::describe() const {
    std::string s = timed_out ? "timed out" : signal ? "killed by signal " + std::to_string(signal)
                                                     : "exit status " + std::to_string(exit_code);
    return s + "\n--- stdout ---\n" + out + "\n--- stderr ---\n" + err;
}

run_result run_demo(const run_options &opt) {
    std::vector<std::string> args = opt.wrapper, env;
    args.push_back(ZR_SAMPLE_EXE);
    // Only what the demo and the sanitizers need, so that nothing in the
    // test's own environment (a ZR_VFB_* setting, an LD_PRELOAD) changes the
    // run. The preloaded device library comes before the sanitizer runtime.
    if (const char *path = std::getenv("PATH")) env.push_back(std::string("PATH=") + path);
    env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1");
    env.push_back("UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1");
    if (opt.virtual_device) {
        env.push_back(std::string("LD_PRELOAD=") + ZR_VFB_LIBRARY);
        env.push_back("ZR_VFB_DEVICE=/dev/fb");
        env.push_back("ZR_VFB_MEMORY=" + (opt.scratch / "fb.mem").string());
    }
    for (const auto &[name, value] : opt.env) env.push_back(name + "=" + value);
    std::vector<char *> argv, envp;
    for (auto &a : args) argv.push_back(a.data());
    for (auto &e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const std::string out_file = (opt.scratch / "stdout.txt").string(), err_file = (opt.scratch / "stderr.txt").string();
    const std::string cwd = opt.cwd.string();

    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = ::open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || dup2(in, 0) < 0 ||
            chdir(cwd.c_str()) != 0)
            _exit(127);
        alarm(static_cast<unsigned>(opt.timeout_seconds));  // kept across exec: SIGALRM ends it
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    run_result r;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) throw std::runtime_error("wait4 failed");
    if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status), r.timed_out = r.signal == SIGALRM;
    r.max_rss_kb = usage.ru_maxrss;
    const auto slurp = [](const std::string &file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    r.out = slurp(out_file);
    r.err = slurp(err_file);
    return r;
}

std::vector<std::pair<std::string, std::string>> snapshot_env(const fs::path &snap_dir, int bpp, int width,
                                                              int height, int frames, long pause_us) {
    return {{"ZR_VFB_SIZE", std::to_string(width) + "x" + std::to_string(height)},
            {"ZR_VFB_BPP", std::to_string(bpp)},
            {"ZR_VFB_SNAP_DIR", snap_dir.string()},
            {"ZR_VFB_SNAP_ON_SLEEP", std::to_string(pause_us)},
            {"ZR_VFB_FAST", "1"},
            {"ZR_VFB_FRAMES", std::to_string(frames)}};
}

fs::path frame_path(const fs::path &snap_dir, int n) {
    char name[32];
    std::snprintf(name, sizeof name, "frame-%04d.png", n);
    return snap_dir / name;
}

}  // namespace e2e

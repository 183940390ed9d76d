// The program's size over many runs and replacements of the run manager
// "main", with its main window and the stream's monitor window opened and
// closed as an operator would:
//
//   each round: the stream's monitor window opened with its panel's toggle,
//   a run of the simulated board into an HDF5 run file with monitoring on,
//   the window closed; every fifth round the configuration read anew ("Load
//   config"), and every tenth the trigger type switched to Internal and back
//   to External (each a new "main")
//
// After each round it prints the program's size as the main window shows it
// (VmSize), its resident size (VmRSS) and what its allocator holds in use,
// and at the end how much each grew
// over the first and the second half of the rounds: a leak grows alike in
// both, a pool (the allocator's arenas, the chunk buffers of the run file)
// levels off. Run it on an X server (xvfb-run).
//
//     bench_memory [rounds=50] [events per run=100000] [rate=100000] [folder]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <glib/gstdio.h>

#include "bench/BenchProgram.h"

namespace {

// Occurrences of the text in the program's log.
size_t count_in(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

bool open_window(bench::Program& program, bool open)
{
    const std::string wanted = std::string("monitor windows open: ") + (open ? "1" : "0");
    // After a reload the panels come a moment after the stream registers.
    return bench::wait_for(
        [&] { return program.command(open ? "monitor 1" : "monitor 0").find(wanted) != std::string::npos; }, 30,
        0.5);
}

// The configuration read anew, as "Load config" does; then the board
// registers with the new board manager.
bool reload(bench::Program& program)
{
    const std::string marker = "Uploading config. file";
    const size_t before = count_in(bench::read_file(program.log()), marker);
    program.command("reload " + program.config());
    if (!bench::wait_for([&] { return count_in(bench::read_file(program.log()), marker) > before; }, 30))
        return false;
    // The reload runs in one go on the GTK main thread: a command done
    // after it began is done after it ended.
    program.command("stalls");
    return program.register_board();
}

// What the program's allocator holds in use, MB.
double heap_in_use(bench::Program& program)
{
    const std::string text = program.command("heap");
    const size_t at = text.find("heap in use ");
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + 12) / 1024.0;
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 50;
    const long events = argc > 2 ? std::atol(argv[2]) : 100000;
    const double rate = argc > 3 ? std::atof(argv[3]) : 100000;
    const std::string dir = bench::folder(argc > 4 ? argv[4] : nullptr, "bench_memory");
    if (dir.empty())
        return 2;
    bench::Program program(dir, BENCH_BOARD_SIM, 1);
    if (!program.start(BENCH_BRISKO, BENCH_FENROW_PLUGIN, BENCH_MONITOR_HOST, true))
        return 1;
    std::printf("%d rounds of %ld events at %.0f/s, files in %s\n", rounds, events, rate, dir.c_str());
    const bench::Sizes start = bench::sizes_of(program.pid());
    std::vector<bench::Sizes> sizes{start};
    std::vector<double> heaps{heap_in_use(program)};
    std::printf("  round  runs  new mains   VmSize MB   VmRSS MB   heap in use MB   done\n");
    std::printf("  %5d  %4d  %9d  %10.1f  %9.1f  %15.1f   start\n", 0, 0, 0, start.vm / 1024.0, start.rss / 1024.0,
                heaps[0]);
    int mains = 0;
    for (int r = 1; r <= rounds; ++r) {
        std::string done = "window, run";
        if (!open_window(program, true)) {
            std::fprintf(stderr, "round %d: the monitor window did not open; see %s\n", r, program.log().c_str());
            return 1;
        }
        const std::string stem = dir + "/run" + std::to_string(r);
        const bench::Step s = program.run(rate, events, stem);
        g_unlink((stem + ".h5").c_str());
        if (s.lost())
            done += " (" + std::to_string(s.lost()) + " events lost)";
        if (!open_window(program, false)) {
            std::fprintf(stderr, "round %d: the monitor window did not close\n", r);
            return 1;
        }
        if (r % 10 == 1) {
            program.command("trigger internal");
            program.command("trigger external");
            mains += 2;
            done += ", Internal and External";
        }
        if (r % 5 == 0) {
            if (!reload(program)) {
                std::fprintf(stderr, "round %d: the reload did not come back; see %s\n", r, program.log().c_str());
                return 1;
            }
            ++mains;
            done += ", reload";
        }
        const bench::Sizes now = bench::sizes_of(program.pid());
        sizes.push_back(now);
        heaps.push_back(heap_in_use(program));
        std::printf("  %5d  %4d  %9d  %10.1f  %9.1f  %15.1f   %s\n", r, r, mains, now.vm / 1024.0,
                    now.rss / 1024.0, heaps.back(), done.c_str());
        std::fflush(stdout);
    }
    const size_t half = sizes.size() / 2;
    auto growth = [&](size_t from, size_t to, long bench::Sizes::*field) {
        return (sizes[to].*field - sizes[from].*field) / 1024.0;
    };
    const size_t last = sizes.size() - 1;
    std::printf("\ngrowth, first half of the rounds: VmSize %+.1f MB, VmRSS %+.1f MB, heap in use %+.1f MB\n",
                growth(1, half, &bench::Sizes::vm), growth(1, half, &bench::Sizes::rss), heaps[half] - heaps[1]);
    std::printf("growth, second half of the rounds: VmSize %+.1f MB, VmRSS %+.1f MB, heap in use %+.1f MB\n",
                growth(half, last, &bench::Sizes::vm), growth(half, last, &bench::Sizes::rss),
                heaps[last] - heaps[half]);
    std::fflush(stdout);
    program.stop();
    return 0;
}

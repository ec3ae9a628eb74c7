// What the malloc_trim(0) after each change of `running` costs a host whose heap is large: the
// heap filled with 500 MB of small blocks, then trimmed as it is, after every other block was
// freed, and after everything was freed.
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <vector>

namespace {
double trimMs()
{
    QElapsedTimer clock;
    clock.start();
    malloc_trim(0);
    return clock.nsecsElapsed() / 1e6;
}

// The median of five trims in a row: the first does the work, the others find little left.
void report(const char* state)
{
    double times[5];
    for (double& time : times) {
        time = trimMs();
    }
    const double first = times[0];
    std::sort(times, times + 5);
    std::printf("%-36s first %8.2f ms, then %8.2f ms (median of 5)\n", state, first, times[2]);
}
} // namespace

int main()
{
    constexpr std::size_t kHeapBytes = 500u * 1024 * 1024;
    std::vector<void*> blocks;
    blocks.reserve(kHeapBytes / 48);
    std::size_t used = 0;
    // 16 to 128 bytes, as lists, strings and variants leave them.
    for (std::size_t i = 0; used < kHeapBytes; ++i) {
        const std::size_t size = 16 + (i * 37) % 113;
        blocks.push_back(std::malloc(size));
        used += size;
    }
    std::printf("heap of %zu MB in %zu blocks\n", used >> 20, blocks.size());
    report("all blocks in use:");
    for (std::size_t i = 0; i < blocks.size(); i += 2) {
        std::free(blocks[i]);
        blocks[i] = nullptr;
    }
    report("every other block freed:");
    for (void* block : blocks) {
        std::free(block);
    }
    report("all freed:");
    return 0;
}

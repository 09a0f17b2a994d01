// Speed of the FM chip model, in output samples per second (items_per_second) and, where
// the kernel lets a process count its own instructions, instructions per sample.
//
//   BM_Render/<voice>   one second of a held note, 62,500 samples, rendered in blocks
//                       of 1,024 as a sampler would
//
// The voices: "con0_lfo", a four-operator stack with feedback, the LFO swinging its
// pitch and level (the pitch recomputed as it moves); "con7", four carriers;
// "noise", C2 playing the noise; "silent", every operator released, the floor.
// Without hardware counters (a virtual machine), count instructions with
//   valgrind --tool=callgrind --toggle-collect='karvo::OpmSynth::render*'
//       build/bench/karvo_bench_opm --benchmark_filter=... --benchmark_min_time=0.01
// and divide the collected Ir by the samples rendered.
#include <benchmark/benchmark.h>
#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "opm_synth.h"

namespace {

using karvo::OpmLfo;
using karvo::OpmSynth;
using karvo::OpmVoice;

// This process's instructions in user mode, counted by the kernel, if it allows it.
class InstructionCounter {
public:
    InstructionCounter() {
        perf_event_attr attr{};
        attr.type = PERF_TYPE_HARDWARE;
        attr.size = sizeof(attr);
        attr.config = PERF_COUNT_HW_INSTRUCTIONS;
        attr.disabled = 1;
        attr.exclude_kernel = 1;
        attr.exclude_hv = 1;
        m_fd = static_cast<int>(syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0));
    }
    ~InstructionCounter() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    InstructionCounter(const InstructionCounter&) = delete;
    InstructionCounter& operator=(const InstructionCounter&) = delete;

    bool available() const { return m_fd >= 0; }
    void start() {
        ioctl(m_fd, PERF_EVENT_IOC_RESET, 0);
        ioctl(m_fd, PERF_EVENT_IOC_ENABLE, 0);
    }
    uint64_t stop() {
        ioctl(m_fd, PERF_EVENT_IOC_DISABLE, 0);
        uint64_t count = 0;
        return read(m_fd, &count, sizeof(count)) == sizeof(count) ? count : 0;
    }

private:
    int m_fd = -1;
};

struct Case {
    OpmVoice voice;
    OpmLfo lfo;
    bool keyed = true;
};

Case makeCase(const std::string& name) {
    Case c;
    c.voice.CON = name == "con0_lfo" ? 0 : 7;
    c.voice.FL = 6;
    c.voice.slotMask = 15;
    c.voice.AMS = 1;
    c.voice.PMS = 5;
    const std::array<uint8_t, 4> MULS = {1, 3, 2, 1};
    for (size_t i = 0; i < 4; ++i) {
        karvo::OpmOperator& op = c.voice.op[i];
        op = {static_cast<uint8_t>(i == 3 ? 0 : 20), 31, 8, 3, 4, 7, 1, MULS[i], 3, 0, i == 3};
    }
    if (name == "con0_lfo") {
        c.lfo = {0xC8, 40, 100, 2, false, 0};
    }
    if (name == "noise") {
        c.lfo = {0, 0, 0, 0, true, 20};
    }
    c.keyed = name != "silent";
    return c;
}

void BM_Render(benchmark::State& state, const std::string& name) {
    const Case c = makeCase(name);
    constexpr size_t SAMPLES = karvo::OPM_SAMPLE_RATE;
    std::vector<int16_t> block(1024);
    InstructionCounter counter;
    uint64_t instructions = 0;
    for (auto _ : state) {
        OpmSynth synth;
        synth.setVoice(c.voice);
        synth.setLfo(c.lfo);
        synth.setKeyCode(karvo::keyCodeFor(60.0));
        if (c.keyed) {
            synth.keyOn();
        }
        if (counter.available()) {
            counter.start();
        }
        for (size_t done = 0; done < SAMPLES; done += block.size()) {
            const size_t n = std::min(block.size(), SAMPLES - done);
            synth.render(std::span(block).first(n));
        }
        if (counter.available()) {
            instructions += counter.stop();
        }
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
    }
    const auto total = static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(SAMPLES);
    state.SetItemsProcessed(total);
    if (counter.available()) {
        state.counters["instructions/sample"] =
            static_cast<double>(instructions) / static_cast<double>(total);
    }
}

BENCHMARK_CAPTURE(BM_Render, con0_lfo, std::string("con0_lfo"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Render, con7, std::string("con7"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Render, noise, std::string("noise"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Render, silent, std::string("silent"))->Unit(benchmark::kMillisecond);

}   // namespace

BENCHMARK_MAIN();

// A soundfont zone written in one line, for the writer's tests and the reader fixtures.
#pragma once

#include <utility>
#include <vector>

#include "soundfont.h"

namespace karvo::test {

inline Zone zone(size_t target, std::vector<Generator> generators, std::vector<Modulator> modulators = {}) {
    Zone z;
    z.target = target;
    z.generators = std::move(generators);
    z.modulators = std::move(modulators);
    return z;
}

}   // namespace karvo::test

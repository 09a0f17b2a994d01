// Writes every hostile input to a folder, one file each, for the stress report.
//   hostile_gen EXAMPLE.mdx FOLDER
#include <cstdio>
#include <string>

#include "hostile_inputs.h"
#include "run_helpers.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: hostile_gen EXAMPLE.mdx FOLDER\n", stderr);
        return 2;
    }
    const auto example = karvo::test::readFile(argv[1]);
    if (example.empty()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    int count = 0;
    for (const auto& input : karvo::test::hostileInputs(example)) {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "%04d ", count++);
        karvo::test::writeFile(std::string(argv[2]) + "/" + prefix + input.name + ".mdx", input.bytes);
    }
    std::printf("%d inputs\n", count);
    return 0;
}

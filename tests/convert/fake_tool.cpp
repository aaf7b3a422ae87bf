// A stand-in texture tool: records its arguments, then does what the test
// asked through the environment (copy a file over the target, fail).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
    if (const char* log = std::getenv("FAKE_TOOL_LOG")) {
        std::ofstream out(log);
        for (int i = 1; i < argc; ++i) out << argv[i] << '\n';
    }
    const char* code = std::getenv("FAKE_TOOL_EXIT");
    if (code && std::atoi(code) != 0) {
        std::fputs("cannot convert this file\n", stderr);
        return std::atoi(code);
    }
    if (const char* replacement = std::getenv("FAKE_TOOL_RESULT"); replacement && argc > 1) {
        std::ifstream in(replacement, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ofstream(argv[argc - 1], std::ios::binary | std::ios::trunc) << bytes;
    }
    return 0;
}

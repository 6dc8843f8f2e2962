// Feeds every file of the given directories (or single files) to the fuzz
// entry point, so the seed corpus and every past finding are run by ctest
// without clang or libFuzzer.
#include "tupfuzzentry.h"

#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace
{
bool replayFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    // An exact-size heap copy, so that a sanitizer build sees any overread.
    std::vector<uint8_t> exact(bytes);
    tupFuzzOne(exact.empty() ? nullptr : exact.data(), exact.size());
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    size_t files = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            std::fprintf(stderr, "replay: cannot read '%s'\n", argv[i]);
            return 1;
        }
        if (S_ISDIR(st.st_mode)) {
            DIR* d = opendir(argv[i]);
            if (d == nullptr)
                return 1;
            while (dirent* e = readdir(d)) {
                if (e->d_name[0] == '.')
                    continue;
                if (!replayFile(std::string(argv[i]) + "/" + e->d_name)) {
                    closedir(d);
                    return 1;
                }
                ++files;
            }
            closedir(d);
        } else {
            if (!replayFile(argv[i]))
                return 1;
            ++files;
        }
    }
    std::printf("replayed %zu inputs\n", files);
    return files > 0 ? 0 : 1;
}
